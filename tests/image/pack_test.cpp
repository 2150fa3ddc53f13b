// Update files made from build output: the loader must read back exactly the intended image.
#include "image/pack.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "hex_text.h"
#include "image/hex_image.h"
#include "image/hex_writer.h"
#include "image/memory_file.h"
#include "image/update_file.h"
#include "recording_panel.h"

namespace iapflash {
namespace {

using ::testing::HasSubstr;

std::vector<uint8_t> Pattern(uint32_t length) {
  std::vector<uint8_t> image(length);
  for (uint32_t i = 0; i < length; ++i) image[i] = static_cast<uint8_t>(i * 131 + (i >> 8));
  return image;
}

std::string AsText(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

struct Loaded {
  bool ok = false;
  std::vector<uint8_t> image;
  uint32_t checksum = 0;
  std::string log;
};

Loaded Load(const std::string& name, const std::vector<uint8_t>& file) {
  testing::RecordingPanel panel;
  MemoryFile memory(file);
  Loaded loaded;
  if (const std::optional<UpdateImage> image = LoadUpdateFrom(panel, name, memory)) {
    loaded.ok = true;
    loaded.image = image->bytes;
    loaded.checksum = image->checksum;
  }
  loaded.log = panel.Log();
  return loaded;
}

TEST(Pack, LoaderReadsBackEveryImageByteForByteAsBinAndAsHex) {
  // Lengths around the loader's limits and the 64 KiB steps of the HEX addresses.
  for (const uint32_t length : {1u, 8u, 100u, 65535u, 65536u, 65537u, MAX_IMAGE_SIZE}) {
    const std::vector<uint8_t> image = Pattern(length);
    for (const bool hex : {false, true}) {
      if (!hex && length < 8) continue;  // refused, see below
      const std::string name = hex ? "out.hex" : "out.bin";
      const PackResult pack =
          PackUpdate("build.bin", AsText(image), std::nullopt, hex, MAX_IMAGE_SIZE);
      ASSERT_TRUE(pack.ok) << length << " " << name << ": " << pack.message;
      EXPECT_FALSE(pack.inputHex);
      EXPECT_EQ(pack.image, image);
      ASSERT_GE(pack.file.size(), UPDATE_HEADER_SIZE);
      EXPECT_TRUE(IsUpdateHeader(pack.file.data()));
      EXPECT_EQ(std::vector<uint8_t>(pack.file.begin() + 16, pack.file.begin() + 512),
                std::vector<uint8_t>(496, 0));
      const Loaded loaded = Load(name, pack.file);
      ASSERT_TRUE(loaded.ok) << length << " " << name << ": " << loaded.log;
      EXPECT_EQ(loaded.image, image) << length << " " << name;
      EXPECT_EQ(loaded.checksum, ImageChecksum(image.data(), length));
    }
  }
}

TEST(Pack, BuildHexAtFlashBaseBecomesAnImageFromOffsetZero) {
  const std::vector<uint8_t> a = Pattern(32);
  const std::string build = testing::HexRecord(4, 0, {0x08, 0x00}, "\n") +
                            testing::HexRecord(0, 0x4000, {a.begin(), a.begin() + 16}, "\n") +
                            testing::HexRecord(0, 0x4030, {a.begin() + 16, a.end()}, "\n") +
                            testing::HexRecord(1, 0, {}, "\n");
  std::vector<uint8_t> intended(64, 0xFF);
  std::copy(a.begin(), a.begin() + 16, intended.begin());
  std::copy(a.begin() + 16, a.end(), intended.begin() + 48);
  for (const bool hex : {false, true}) {
    const PackResult pack = PackUpdate("app.hex", build, std::nullopt, hex, MAX_IMAGE_SIZE);
    ASSERT_TRUE(pack.ok) << pack.message;
    EXPECT_TRUE(pack.inputHex);
    EXPECT_EQ(pack.base, 0x08004000u);
    const Loaded loaded = Load(hex ? "app-update.hex" : "app-update.bin", pack.file);
    ASSERT_TRUE(loaded.ok) << loaded.log;
    EXPECT_EQ(loaded.image, intended);
  }
}

TEST(Pack, StrictHexTextConvertsBackForEveryRecordLength) {
  const std::vector<uint8_t> image = Pattern(70000);  // crosses one 64 KiB step
  for (const uint32_t perRecord : {1u, 16u, 32u, 255u}) {
    const std::string text = StrictHexText(image.data(), 70000, perRecord);
    std::vector<uint8_t> converted(MAX_IMAGE_SIZE);
    uint32_t length = 0;
    ASSERT_TRUE(ConvertHexImage(text.data(), static_cast<uint32_t>(text.size()), converted.data(),
                                MAX_IMAGE_SIZE, length))
        << perRecord;
    ASSERT_EQ(length, 70000u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), converted.begin())) << perRecord;
  }
  EXPECT_EQ(StrictHexText(nullptr, 0), ":00000001FF\r\n");
  const uint8_t two[] = {0xAB, 0x01};
  EXPECT_EQ(StrictHexText(two, 2), ":02000000AB0152\r\n:00000001FF\r\n");
}

TEST(Pack, InputIsHexByTheLoadersNameRuleOrByItsText) {
  EXPECT_TRUE(IsBuildHex("out/app.HEX", "\x01\x02"));
  EXPECT_TRUE(IsBuildHex("fw.hex.d/app.bin", ""));  // the whole path, as the loader looks
  EXPECT_TRUE(IsBuildHex("app.ihx", ":00000001FF\n"));
  EXPECT_TRUE(IsBuildHex("app.ihx", "\xEF\xBB\xBF:00000001FF\r\n"));
  EXPECT_FALSE(IsBuildHex("app.bin", ":\x80\x00\x20"));  // a raw image that starts with 0x3A
  EXPECT_FALSE(IsBuildHex("app.bin", "\x00\x50\x00\x20"));
  EXPECT_FALSE(IsBuildHex("app.bin", ""));
}

TEST(Pack, RefusesWhatTheLoaderWouldRefuseOrCouldNotMean) {
  const std::string update = AsText(MakeUpdateFile(Pattern(64), false));
  struct Case {
    const char* name;
    std::string in;
    std::string content;
    std::optional<uint32_t> base;
    bool hex;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"EmptyBinary", "app.bin", "", std::nullopt, false, "empty"},
      {"BinaryOverCapacity", "app.bin", std::string(MAX_IMAGE_SIZE + 1, 'x'), std::nullopt, true,
       "102401 bytes, more than the 102400"},
      {"SevenBytesAsBin", "app.bin", "1234567", std::nullopt, false, "name the output .hex"},
      {"BaseForABinary", "app.bin", "12345678", 0x08004000, false, "Intel HEX input only"},
      {"AlreadyAnUpdateFile", "old.bin", update, std::nullopt, false, "update file already"},
      {"AlreadyAnUpdateFileNamedHex", "old.hex", update, std::nullopt, true, "update file already"},
      {"EmptyHex", "app.hex", ":00000001FF\n", std::nullopt, false, "no data"},
  };
  for (const Case& c : cases) {
    const PackResult pack = PackUpdate(c.in, c.content, c.base, c.hex, MAX_IMAGE_SIZE);
    EXPECT_FALSE(pack.ok) << c.name;
    EXPECT_THAT(pack.message, HasSubstr(c.message)) << c.name;
    EXPECT_TRUE(pack.file.empty()) << c.name;
  }
  // Seven bytes do make a HEX update file the loader reads.
  const PackResult seven = PackUpdate("app.bin", "1234567", std::nullopt, true, MAX_IMAGE_SIZE);
  ASSERT_TRUE(seven.ok) << seven.message;
  EXPECT_EQ(Load("seven.hex", seven.file).image,
            std::vector<uint8_t>({'1', '2', '3', '4', '5', '6', '7'}));
}

}  // namespace
}  // namespace iapflash
