#include "platform/record_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

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

}  // namespace
}  // namespace iapflash
