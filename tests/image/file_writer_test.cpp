#include "platform/file_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace iapflash {
namespace {

namespace fs = std::filesystem;

class FileWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("iapflash-writer-" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // The folder's entries: a temporary file left behind shows here.
  std::vector<std::string> Entries() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  fs::path dir_;
};

TEST_F(FileWriterTest, CreatesAndReplacesWholeFilesLeavingNothingElse) {
  const fs::path out = dir_ / "update.bin";
  const std::vector<uint8_t> first(70000, 0xA5);
  SystemError error = 0;
  ASSERT_TRUE(WriteFileAtomically(out.string(), first.data(), first.size(), error)) << error;
  EXPECT_EQ(Read(out), std::string(70000, '\xA5'));

  const uint8_t second[] = {1, 2, 3};
  ASSERT_TRUE(WriteFileAtomically(out.string(), second, sizeof second, error)) << error;
  EXPECT_EQ(Read(out), std::string("\x01\x02\x03"));
  EXPECT_EQ(Entries(), std::vector<std::string>{"update.bin"});
}

TEST_F(FileWriterTest, FailureLeavesTheTargetAndNoTemporaryFile) {
  // A folder where the file should go: the rename fails after the bytes were written.
  fs::create_directories(dir_ / "taken.bin");
  std::ofstream(dir_ / "taken.bin" / "inside") << "kept";
  const uint8_t bytes[] = {9, 9};
  SystemError error = 0;
  EXPECT_FALSE(WriteFileAtomically((dir_ / "taken.bin").string(), bytes, sizeof bytes, error));
  EXPECT_NE(error, 0u);
  EXPECT_EQ(Read(dir_ / "taken.bin" / "inside"), "kept");
  EXPECT_EQ(Entries(), std::vector<std::string>{"taken.bin"});

  error = 0;
  EXPECT_FALSE(WriteFileAtomically((dir_ / "no-such-folder" / "x.bin").string(), bytes,
                                   sizeof bytes, error));
  EXPECT_NE(error, 0u);
  EXPECT_EQ(Entries(), std::vector<std::string>{"taken.bin"});
}

TEST_F(FileWriterTest, SameFileSeesThroughSpellings) {
  const fs::path a = dir_ / "a.hex";
  const fs::path b = dir_ / "b.hex";
  std::ofstream(a) << "a";
  std::ofstream(b) << "a";
  fs::create_directories(dir_ / "sub");
  EXPECT_TRUE(SameFile(a.string(), a.string()));
  EXPECT_TRUE(SameFile(a.string(), (dir_ / "sub" / ".." / "a.hex").string()));
  EXPECT_TRUE(SameFile(a.string(), (dir_ / "." / "a.hex").string()));
  EXPECT_FALSE(SameFile(a.string(), b.string())) << "equal contents are not one file";
  EXPECT_FALSE(SameFile(a.string(), (dir_ / "missing.hex").string()));
  EXPECT_FALSE(SameFile((dir_ / "missing.hex").string(), (dir_ / "missing.hex").string()));
  fs::create_hard_link(a, dir_ / "link.hex");
  EXPECT_TRUE(SameFile(a.string(), (dir_ / "link.hex").string()));
#if defined(_WIN32)
  EXPECT_TRUE(SameFile(a.string(), (dir_ / "A.HEX").string())) << "names ignore case";
#else
  fs::create_symlink(a, dir_ / "symlink.hex");
  EXPECT_TRUE(SameFile(a.string(), (dir_ / "symlink.hex").string()));
#endif
}

TEST_F(FileWriterTest, AStopBeforeTheRenameLeavesTheOldFileAndNoTemporaryFile) {
  // 200000 bytes go in four pieces: the write asks before each and once more before the rename.
  const fs::path out = dir_ / "update.bin";
  const std::vector<uint8_t> bytes(200000, 0x5A);
  for (int stopAt = 1; stopAt <= 5; ++stopAt) {
    SCOPED_TRACE(stopAt);
    std::ofstream(out, std::ios::binary) << "previous";
    int asked = 0;
    AtomicWriteOptions how;
    how.stopped = [&] { return ++asked >= stopAt; };
    SystemError error = 0;
    EXPECT_FALSE(WriteFileAtomically(out.string(), bytes.data(), bytes.size(), error, how));
    EXPECT_EQ(error, CancelledError());
    EXPECT_EQ(Read(out), "previous");
    EXPECT_EQ(Entries(), std::vector<std::string>{"update.bin"});
  }
  AtomicWriteOptions never;
  never.stopped = [] { return false; };
  SystemError error = 0;
  ASSERT_TRUE(WriteFileAtomically(out.string(), bytes.data(), bytes.size(), error, never));
  EXPECT_EQ(Read(out), std::string(200000, '\x5A'));
}

TEST_F(FileWriterTest, ReadOnlyIsTheUsersMarkOnAnExistingFile) {
  const fs::path marked = dir_ / "marked.bin";
  const fs::path plain = dir_ / "plain.bin";
  std::ofstream(marked) << "m";
  std::ofstream(plain) << "p";
  fs::create_directories(dir_ / "folder");
  fs::permissions(marked, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  EXPECT_TRUE(IsReadOnlyFile(marked.string()));
  EXPECT_FALSE(IsReadOnlyFile(plain.string()));
  EXPECT_FALSE(IsReadOnlyFile((dir_ / "missing.bin").string()));
  EXPECT_FALSE(IsReadOnlyFile((dir_ / "folder").string()));

  // Replaced when asked (the caller asks the user); the new file is an ordinary one.
  const uint8_t bytes[] = {7, 7, 7};
  SystemError error = 0;
  AtomicWriteOptions how;
  how.replaceReadOnly = true;
  ASSERT_TRUE(WriteFileAtomically(marked.string(), bytes, sizeof bytes, error, how)) << error;
  EXPECT_EQ(Read(marked), "\x07\x07\x07");
  EXPECT_FALSE(IsReadOnlyFile(marked.string()));
  EXPECT_EQ(Entries(), (std::vector<std::string>{"folder", "marked.bin", "plain.bin"}));
}

TEST_F(FileWriterTest, StoredNamesAreWhatTheSystemKeeps) {
  struct Case {
    const char* given;
    const char* path;
    const char* name;
  };
#if defined(_WIN32)
  // Trailing dots and blanks of the last part go; the folders' stay as they are.
  const Case cases[] = {
      {"new.bin.", "new.bin", "new.bin"},
      {"out\\new.bin. .", "out\\new.bin", "new.bin"},
      {"fw.hexfiles/app.bin", "fw.hexfiles/app.bin", "app.bin"},
      {"C:app.hex.", "C:app.hex", "app.hex"},
      {"dir.\\app.bin", "dir.\\app.bin", "app.bin"},
      {"dir\\..", "dir\\..", ".."},
  };
#else
  const Case cases[] = {
      {"new.bin.", "new.bin.", "new.bin."},
      {"fw.hexfiles/app.bin", "fw.hexfiles/app.bin", "app.bin"},
      {"fw.hexfiles\\app.bin", "fw.hexfiles\\app.bin", "fw.hexfiles\\app.bin"},
      {"/abs/app.bin ", "/abs/app.bin ", "app.bin "},
  };
#endif
  for (const Case& c : cases) {
    EXPECT_EQ(StoredPath(c.given), c.path) << c.given;
    EXPECT_EQ(StoredFileName(c.given), c.name) << c.given;
  }
  const fs::path here = fs::current_path();
  EXPECT_EQ(fs::path(AbsolutePath("app.bin")), here / "app.bin");
  EXPECT_EQ(AbsolutePath((dir_ / "app.bin").string()), (dir_ / "app.bin").string());

  // Written under the stored name.
  const uint8_t bytes[] = {1};
  SystemError error = 0;
  ASSERT_TRUE(WriteFileAtomically((dir_ / "new.bin.").string(), bytes, sizeof bytes, error));
  EXPECT_EQ(Entries(), std::vector<std::string>{StoredFileName("new.bin.")});
}

}  // namespace
}  // namespace iapflash
