#include "platform/record_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#ifndef _WIN32
#include <sys/resource.h>

#include <csignal>
#endif

#include "temp_folder.h"

namespace iapflash {
namespace {

std::string Read(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(RecordFile, OpeningCutsALineACrashLeftUnfinishedAndAppendsWholeLines) {
  const std::string longLine(5000, 'r');  // past the block the tail is read in
  const struct {
    const char* name;
    std::string before;
    std::string kept;
  } cases[] = {
      {"empty", "", ""},
      {"whole", "{\"a\":1}\n{\"b\":2}\n", "{\"a\":1}\n{\"b\":2}\n"},
      {"cut", "{\"a\":1}\n{\"b\":", "{\"a\":1}\n"},
      {"only a part", "{\"b\":", ""},
      {"long lines", longLine + "\n" + longLine, longLine + "\n"},
      {"long part", "x\n" + longLine + longLine, "x\n"},
  };
  for (const auto& c : cases) {
    testing::TempFolder folder;
    const auto path = folder.Path("records.jsonl");
    if (!c.before.empty()) std::ofstream(path, std::ios::binary) << c.before;
    SystemError error = 0;
    auto file = OpenRecordFile(path.string(), error);
    ASSERT_NE(file, nullptr) << c.name << ": " << error;
    EXPECT_EQ(Read(path), c.kept) << c.name;
    ASSERT_TRUE(file->Append("{\"c\":3}\n", error)) << c.name;
    ASSERT_TRUE(file->Append("{\"d\":4}\n", error)) << c.name;
    EXPECT_EQ(Read(path), c.kept + "{\"c\":3}\n{\"d\":4}\n") << c.name;
  }
}

TEST(RecordFile, AFolderThatIsNotThereIsTheSystemsError) {
  testing::TempFolder folder;
  SystemError error = 0;
  EXPECT_EQ(OpenRecordFile(folder.Path("missing/records.jsonl").string(), error), nullptr);
  EXPECT_NE(error, 0u);
  EXPECT_FALSE(std::filesystem::exists(folder.Path("missing")));
}

#ifndef _WIN32
// The file size limit of the process, for the length of a test: a write past it is cut short
// and the next fails, as on a disk that fills up in the middle of a line.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    oldSignal_ = std::signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
    Set(bytes);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, oldSignal_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  void Set(rlim_t bytes) {
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  }

 private:
  rlimit saved_{};
  void (*oldSignal_)(int) = SIG_DFL;
};

// A line the disk takes only part of is not left behind half written: the file stays as it was,
// the append says it failed, and the lines appended once there is room again are whole lines of
// their own.
TEST(RecordFile, ALineTheDiskTakesOnlyInPartIsTakenBackWhole) {
  testing::TempFolder folder;
  const auto path = folder.Path("records.jsonl");
  SystemError error = 0;
  auto file = OpenRecordFile(path.string(), error);
  ASSERT_NE(file, nullptr) << error;
  const std::string first = "{\"board\":1}\n";
  ASSERT_TRUE(file->Append(first, error));

  const std::string second = "{\"board\":2,\"result\":\"success\"}\n";
  {
    FileSizeLimit limit(first.size() + 10);  // room for ten bytes of the second line
    EXPECT_FALSE(file->Append(second, error));
    EXPECT_EQ(error, static_cast<SystemError>(EFBIG));
    EXPECT_EQ(Read(path), first);
    EXPECT_FALSE(file->Append(second, error));  // still full: nothing of it either
    EXPECT_EQ(Read(path), first);
  }
  ASSERT_TRUE(file->Append(second, error)) << error;
  ASSERT_TRUE(file->Append("{\"board\":3}\n", error));
  EXPECT_EQ(Read(path), first + second + "{\"board\":3}\n");
}

#endif

}  // namespace
}  // namespace iapflash
