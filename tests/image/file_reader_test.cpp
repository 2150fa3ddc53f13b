#include "platform/file_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "temp_folder.h"

#if !defined(_WIN32)
#include <sys/stat.h>

#include <cerrno>
#endif

namespace iapflash {
namespace {

namespace fs = std::filesystem;

class FileReaderTest : public ::testing::Test {
 protected:
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(dir_ / "a.bin", fs::perms::owner_all, ignored);
  }
  testing::TempFolder folder_{"iapflash-reader-"};
  const fs::path dir_ = folder_.Root();
};

TEST_F(FileReaderTest, ReadsAnExistingFileInFullAndThenNothing) {
  const std::string path = (dir_ / "a.bin").string();
  std::ofstream(path, std::ios::binary) << std::string(3000, 'q');
  SystemError error = 0;
  const auto file = OpenForReading(path, error);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Size(), 3000u);
  std::vector<uint8_t> buffer(4000);
  const IoResult first = file->Read(buffer.data(), 512);
  EXPECT_TRUE(first.ok);
  EXPECT_EQ(first.count, 512u);
  const IoResult rest = file->Read(buffer.data(), 4000);
  EXPECT_TRUE(rest.ok);
  EXPECT_EQ(rest.count, 2488u) << "a read asks for more than is left";
  EXPECT_EQ(file->Read(buffer.data(), 10).count, 0u);
  EXPECT_TRUE(FileExists(path));
}

TEST_F(FileReaderTest, MissingFileOrDirectoryFailsAndNothingIsCreated) {
  const std::string missing = (dir_ / "missing.bin").string();
  for (const std::string& path : {missing, dir_.string()}) {
    SystemError error = 0;
    EXPECT_EQ(OpenForReading(path, error), nullptr) << path;
    EXPECT_NE(error, 0u) << path;
    EXPECT_FALSE(FileExists(path)) << path;
  }
  EXPECT_FALSE(fs::exists(missing));
}

TEST_F(FileReaderTest, OpeningLeavesAReadOnlyFileUnchanged) {
  const std::string path = (dir_ / "a.bin").string();
  std::ofstream(path, std::ios::binary) << "abc";
  fs::permissions(path, fs::perms::owner_read);
  const auto before = fs::last_write_time(path);
  {
    SystemError error = 0;
    const auto file = OpenForReading(path, error);
    ASSERT_NE(file, nullptr) << "a read-only file opens for reading";
  }
  EXPECT_EQ(fs::file_size(path), 3u);
  EXPECT_EQ(fs::last_write_time(path), before);
}

#if !defined(_WIN32)
TEST_F(FileReaderTest, PosixErrorsAndNonRegularFilesRefusedWithoutWaiting) {
  const std::string fifo = (dir_ / "pipe.bin").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::string path;
    SystemError error;
  };
  for (const Case& c : {Case{(dir_ / "missing.bin").string(), ENOENT}, Case{dir_.string(), EISDIR},
                        Case{fifo, EINVAL}}) {
    SystemError error = 0;
    EXPECT_EQ(OpenForReading(c.path, error), nullptr) << c.path;  // a FIFO open must not block
    EXPECT_EQ(error, c.error) << c.path;
  }
}
#endif

}  // namespace
}  // namespace iapflash
