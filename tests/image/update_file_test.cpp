#include "image/update_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "hex_text.h"
#include "log/log.h"
#include "recording_panel.h"
#include "temp_folder.h"

namespace iapflash {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using testing::HEX_END;
using testing::HexData;
using testing::HexRecord;
using testing::RecordingPanel;
using ::testing::StartsWith;

void DiscardDiagnostics(const std::string&) {}

std::string Header(const char* tag = "IAP_UPDATA_FILE", std::size_t tagLength = 15) {
  std::string header(UPDATE_HEADER_SIZE, '\0');
  header.replace(0, tagLength, tag, tagLength);
  return header;
}

// Takes a load's result apart for the checks; true when there was an image.
bool Keep(const std::optional<UpdateImage>& loaded, std::vector<uint8_t>& image, uint32_t& length,
          uint32_t& checksum) {
  image = loaded ? loaded->bytes : std::vector<uint8_t>{};
  length = static_cast<uint32_t>(image.size());
  checksum = loaded ? loaded->checksum : 0;
  return loaded.has_value();
}

class UpdateFileTest : public ::testing::Test {
 protected:
  void SetUp() override { SetDiagnosticSink(&DiscardDiagnostics); }
  void TearDown() override { SetDiagnosticSink(nullptr); }

  // name and the path returned in UTF-8, whatever the system's code page.
  std::string Write(const std::string& name, const std::string& content) {
    const fs::path path = dir_ / fs::path(std::u8string(name.begin(), name.end()));
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    const std::u8string utf8 = path.u8string();
    return std::string(utf8.begin(), utf8.end());
  }

  // Loads path; image, length and checksum then hold what it gave (empty on failure).
  bool Load(const std::string& path) {
    return Keep(LoadUpdateFile(panel, path), image, length, checksum);
  }

  testing::TempFolder folder_{"iapflash-update-"};
  const fs::path dir_ = folder_.Root();
  RecordingPanel panel;
  std::vector<uint8_t> image;
  uint32_t length = 0;
  uint32_t checksum = 0;
};

TEST_F(UpdateFileTest, SmallestBinUpdateLoadsWithByteSumChecksum) {
  const std::string path = Write("app.bin", Header() + std::string(8, '\xFF'));
  ASSERT_TRUE(Load(path));
  EXPECT_EQ(length, 8u);
  EXPECT_EQ(checksum, 2040u) << "bytes count as 0..255, not as signed chars";
  EXPECT_EQ(panel.Log(), "") << "a BIN load logs nothing";
}

TEST_F(UpdateFileTest, FileOfOneByteTooFewIsRefusedWithItsPath) {
  const std::string path = Write("short.bin", Header() + std::string(7, '\1'));
  EXPECT_FALSE(Load(path));
  EXPECT_THAT(panel.Lines(), ElementsAre("    无效下载文件L " + path));
}

TEST_F(UpdateFileTest, TagMustMatchExactlyUpToItsTerminatingZero) {
  for (const std::string& header :
       {Header("IAP_UPDATA_FILES", 16), Header("iap_updata_file"), Header("IAP_UPDATA_FIL")}) {
    panel.ClearLog();
    EXPECT_FALSE(Load(Write("tag.bin", header + std::string(8, '\0'))));
    EXPECT_THAT(panel.Lines(), ElementsAre("    无效下载文件F."));
  }
}

TEST_F(UpdateFileTest, BinPayloadUpToTheImageSizeLoadsAndOneMoreIsRefused) {
  ASSERT_TRUE(Load(Write("full.bin", Header() + std::string(MAX_IMAGE_SIZE, '\x01'))));
  EXPECT_EQ(length, MAX_IMAGE_SIZE);
  EXPECT_EQ(checksum, MAX_IMAGE_SIZE);

  EXPECT_FALSE(Load(Write("over.bin", Header() + std::string(MAX_IMAGE_SIZE + 1, '\x01'))));
  EXPECT_THAT(panel.Lines(), ElementsAre("    下载文件不能超过102400字节"));
}

TEST_F(UpdateFileTest, PathDecidesHexOrBinAnywhereInAnyCase) {
  const std::string hexText = HexData(0, {0x10, 0x20}) + HEX_END;
  const std::string content = Header() + hexText;
  struct Case {
    std::string name;
    bool hex;
  };
  for (const Case& c : {Case{"a.hex", true}, Case{"a.Hex", true}, Case{"a.HEX", true},
                        Case{"out.hex.d/a.bin", true}, Case{"a.bin", false}, Case{"ahex", false}}) {
    panel.ClearLog();
    ASSERT_TRUE(Load(Write(c.name, content))) << c.name;
    if (c.hex) {
      EXPECT_THAT(panel.Lines(), ElementsAre("    HEX格式转换成BIN格式.")) << c.name;
      EXPECT_EQ(length, 2u) << c.name;
      EXPECT_EQ(checksum, 0x30u) << c.name;
    } else {
      EXPECT_EQ(panel.Log(), "") << c.name;
      EXPECT_EQ(length, hexText.size()) << c.name;
      EXPECT_EQ(std::string(image.begin(), image.begin() + length), hexText) << c.name;
    }
  }
}

TEST_F(UpdateFileTest, RawImageNamedHexFailsTheConversion) {
  EXPECT_FALSE(Load(Write("raw.hex", Header() + std::string(64, '\x12'))));
  EXPECT_THAT(panel.Lines(), ElementsAre("    HEX格式转换成BIN格式.", "    无效的HEX文件."));
}

TEST_F(UpdateFileTest, HexHoldingOnlyAnEndRecordGivesAnEmptyImage) {
  ASSERT_TRUE(Load(Write("empty.hex", Header() + HEX_END)));
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(checksum, 0u);
}

TEST_F(UpdateFileTest, HexImageLongerThanTheImageSizeIsRefused) {
  // Text longer than the image, then four bytes at segment 0x1900 (102400): they end past it.
  std::string text;
  for (uint16_t address = 0; text.size() < MAX_IMAGE_SIZE + 64; address += 16) {
    text += HexData(address, std::vector<uint8_t>(16, 0x11));
  }
  text += HexRecord(2, 0, {0x19, 0x00}) + HexData(0, {1, 2, 3, 4}) + HEX_END;
  EXPECT_FALSE(Load(Write("big.hex", Header() + text)));
  EXPECT_THAT(panel.Lines(),
              ElementsAre("    HEX格式转换成BIN格式.", "    下载文件不能超过102400字节"));
}

TEST_F(UpdateFileTest, MissingFileIsReportedAndNeverCreated) {
  const std::string path = (dir_ / "missing.bin").string();
  EXPECT_FALSE(Load(path));
  EXPECT_THAT(panel.Lines(), ElementsAre("    无法打开下载文件" + path));
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(UpdateFileTest, DirectoryAndEmptyPathCannotBeOpened) {
  for (const std::string& path : {dir_.string(), std::string()}) {
    panel.ClearLog();
    EXPECT_FALSE(Load(path));
    EXPECT_THAT(panel.Lines(), ElementsAre("    无法打开下载文件" + path));
  }
}

// The path control's limit on Windows, in UTF-16 units; on Linux the system's own.
#if defined(_WIN32)
constexpr std::size_t PATH_LIMIT = 259;
std::size_t PathUnits(const std::string& path) {
  return fs::path(std::u8string(path.begin(), path.end())).wstring().size();
}
#else
constexpr std::size_t PATH_LIMIT = PATH_MAX - 1;
std::size_t PathUnits(const std::string& path) {
  return path.size();
}
#endif

// A name under base whose whole path is exactly units long: folders of at most 100 'n's, then a
// file name ending in ".bin".
std::string NameForPathOf(const std::string& base, std::size_t units) {
  std::string name;
  std::size_t left = units - PathUnits(base);
  while (left > 105) {
    name += std::string(100, 'n') + "/";
    left -= 101;
  }
  return name + std::string(left - 4, 'n') + ".bin";
}

TEST_F(UpdateFileTest, PathsUpToTheSystemsLimitLoadAndLongerOrEmbeddedZeroAreRefused) {
  const std::string payload = Header() + std::string(8, '\2');
  // A hundred Chinese characters: 300 bytes of UTF-8, still far below either limit.
  std::string chinese;
  for (int i = 0; i < 50; ++i) chinese += "固件";
  const std::string hundred =
      Write(chinese.substr(0, 150) + "/" + chinese.substr(0, 138) + ".bin", payload);
  EXPECT_TRUE(Load(hundred)) << panel.Log();

  const std::string base = (dir_ / "").string();
  const std::string longest = Write(NameForPathOf(base, PATH_LIMIT), payload);
  ASSERT_EQ(PathUnits(longest), PATH_LIMIT);
  EXPECT_TRUE(Load(longest)) << panel.Log();

  panel.ClearLog();
  const std::string longer = base + NameForPathOf(base, PATH_LIMIT + 1);
  EXPECT_FALSE(Load(longer));
  // The pane shows the first 510 bytes of so long a line.
  EXPECT_THAT(panel.Lines(),
              ElementsAre(StartsWith("    无法打开下载文件" + longer.substr(0, 400))));

  panel.ClearLog();
  const std::string cut = Write("a.bin", payload);
  EXPECT_FALSE(Load(cut + std::string(1, '\0') + "x")) << "a zero byte must not cut the path";
  EXPECT_THAT(panel.Lines(), ElementsAre("    无法打开下载文件" + cut));
}

TEST_F(UpdateFileTest, BundledSamplesGiveTheSameImage) {
  const fs::path samples = SAMPLES_DIR;
  ASSERT_TRUE(Load((samples / "demo_app.bin").string())) << panel.Log();
  const std::vector<uint8_t> binImage(image.begin(), image.begin() + length);
  const uint32_t binChecksum = checksum;
  ASSERT_TRUE(Load((samples / "demo_app.hex").string())) << panel.Log();
  EXPECT_EQ(std::vector<uint8_t>(image.begin(), image.begin() + length), binImage);
  EXPECT_EQ(checksum, binChecksum);
  EXPECT_EQ(length, 2048u);
  EXPECT_EQ(checksum, 264133u);
}

// An open file whose reads deliver or fail as scripted.
class ScriptedFile final : public ReadOnlyFile {
 public:
  ScriptedFile(std::string content, std::vector<IoResult> script)
      : content_(std::move(content)), script_(std::move(script)) {}
  uint64_t Size() override { return content_.size(); }
  IoResult Read(uint8_t* buffer, uint32_t size) override {
    IoResult result = reads_ < script_.size() ? script_[reads_] : IoResult{true, size, 0};
    ++reads_;
    result.count = std::min({result.count, size, static_cast<uint32_t>(content_.size() - at_)});
    std::memcpy(buffer, content_.data() + at_, result.count);
    at_ += result.count;
    return result;
  }

 private:
  std::string content_;
  std::vector<IoResult> script_;
  std::size_t reads_ = 0;
  std::size_t at_ = 0;
};

class LoadFromOpenFile : public ::testing::Test {
 protected:
  void SetUp() override { SetDiagnosticSink(&DiscardDiagnostics); }
  void TearDown() override { SetDiagnosticSink(nullptr); }

  bool Load(const std::string& path, ScriptedFile file) {
    return Keep(LoadUpdateFrom(panel, path, file), image, length, checksum);
  }

  RecordingPanel panel;
  std::vector<uint8_t> image;
  uint32_t length = 0;
  uint32_t checksum = 0;
};

TEST_F(LoadFromOpenFile, ReadFailuresShowTheSystemError) {
  const std::string content = Header() + std::string(16, '\3');
  // The system's text is shown as the system words it (on Windows with its own line end).
  const std::string expected = "    读下载文件 :Last Err(5)" + SystemErrorText(EIO) + "\r\n";
  EXPECT_FALSE(Load("a.bin", ScriptedFile(content, {IoResult{false, 0, EIO}})));
  EXPECT_EQ(panel.Log(), expected);

  panel.ClearLog();
  EXPECT_FALSE(
      Load("a.bin", ScriptedFile(content, {IoResult{true, 512, 0}, IoResult{false, 4, EIO}})));
  EXPECT_EQ(panel.Log(), expected);
}

TEST_F(LoadFromOpenFile, ShortHeaderShowsTheCountDelivered) {
  EXPECT_FALSE(
      Load("a.bin", ScriptedFile(Header() + std::string(16, '\3'), {IoResult{true, 100, 0}})));
  EXPECT_THAT(panel.Lines(), ElementsAre("    无效下载文件L(100)."));
}

TEST_F(LoadFromOpenFile, ShortPayloadGoesOnWithTheBytesDelivered) {
  ASSERT_TRUE(Load("a.bin", ScriptedFile(Header() + std::string(16, '\3'),
                                         {IoResult{true, 512, 0}, IoResult{true, 10, 0}})));
  EXPECT_EQ(length, 10u);
  EXPECT_EQ(checksum, 30u);
}

// A file of any size claimed: a correct header, then zeros; counts the bytes asked for.
class HugeFile final : public ReadOnlyFile {
 public:
  explicit HugeFile(uint64_t size) : size_(size) {}
  uint64_t Size() override { return size_; }
  IoResult Read(uint8_t* buffer, uint32_t size) override {
    std::memset(buffer, 0, size);
    if (asked_ == 0) std::memcpy(buffer, "IAP_UPDATA_FILE", 15);
    asked_ += size;
    return {true, size, 0};
  }
  uint64_t Asked() const { return asked_; }

 private:
  uint64_t size_;
  uint64_t asked_ = 0;
};

// Memory follows the image, not the file: a payload beyond what the image (BIN) or the longest
// sensible text (HEX) can be is refused from its size, with nothing of it read.
TEST_F(LoadFromOpenFile, OversizedPayloadIsRefusedBeforeItIsRead) {
  struct Case {
    const char* path;
    uint64_t payload;
    bool refused;
  };
  constexpr uint64_t GIB = 1024ull * 1024 * 1024;
  const Case cases[] = {
      {"a.bin", MAX_IMAGE_SIZE + 1, true},
      {"a.bin", GIB, true},
      {"a.bin", 5 * GIB, true},
      {"a.hex", MAX_HEX_TEXT_SIZE + 1, true},
      {"a.hex", 5 * GIB, true},
      {"a.hex", MAX_HEX_TEXT_SIZE, false},
      {"a.bin", MAX_IMAGE_SIZE, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + std::to_string(c.payload));
    panel.ClearLog();
    HugeFile file(UPDATE_HEADER_SIZE + c.payload);
    const bool loaded = LoadUpdateFrom(panel, c.path, file).has_value();
    if (c.refused) {
      EXPECT_FALSE(loaded);
      EXPECT_THAT(panel.Lines(), ElementsAre("    下载文件不能超过102400字节"));
      EXPECT_EQ(file.Asked(), UPDATE_HEADER_SIZE) << "only the header is read";
    } else {
      EXPECT_EQ(file.Asked(), UPDATE_HEADER_SIZE + c.payload);
    }
  }
}

}  // namespace
}  // namespace iapflash
