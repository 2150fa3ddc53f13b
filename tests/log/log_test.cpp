#include "log/log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "recording_panel.h"

namespace iapflash {
namespace {

using ::testing::ElementsAre;
using testing::RecordingPanel;

std::vector<std::string> diagnostics;
void Capture(const std::string& line) {
  diagnostics.push_back(line);
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    diagnostics.clear();
    SetDiagnosticSink(&Capture);
  }
  void TearDown() override { SetDiagnosticSink(nullptr); }
  RecordingPanel panel;
};

TEST_F(LogTest, LineEndsWithCrLfAndReachesPaneAndDiagnostics) {
  EXPECT_EQ(LogLine(panel, "已查找到%d个设备", 2), 1);
  LogLine(panel, "%s", "");
  EXPECT_EQ(panel.Log(), "已查找到2个设备\r\n\r\n");
  EXPECT_THAT(diagnostics, ElementsAre("已查找到2个设备\r\n", "\r\n"));
}

TEST_F(LogTest, AppendAddsDotsToTheCurrentLine) {
  LogLine(panel, "3.开始更新FLASH>>");
  LogAppend(panel, ".");
  LogAppend(panel, ".");
  LogLine(panel, "  成功");
  EXPECT_EQ(panel.Log(), "3.开始更新FLASH>>\r\n..  成功\r\n");
  EXPECT_EQ(diagnostics.size(), 2u) << "dots are not lines";
}

TEST_F(LogTest, PercentInsideAnArgumentIsShownAsItIs) {
  LogLine(panel, "    无法打开下载文件%s", "/tmp/a%d%s%n.bin");
  EXPECT_EQ(panel.Log(), "    无法打开下载文件/tmp/a%d%s%n.bin\r\n");
}

TEST_F(LogTest, LongLineIsCutInThePaneButWholeInDiagnostics) {
  const std::string path(600, 'x');
  LogLine(panel, "%s", path.c_str());
  EXPECT_EQ(panel.Log(), std::string(510, 'x') + "\n");
  ASSERT_EQ(diagnostics.size(), 1u);
  EXPECT_EQ(diagnostics[0], path + "\r\n");
}

TEST_F(LogTest, AppendOfExactlyFittingTextIsNotCut) {
  const std::string text(511, 'y');
  LogAppend(panel, "%s", text.c_str());
  EXPECT_EQ(panel.Log(), text);
}

TEST_F(LogTest, LineBeyondTheLineBufferIsCutThereAndStillEnded) {
  const std::string huge(30000, 'z');
  LogLine(panel, "%s", huge.c_str());
  ASSERT_EQ(diagnostics.size(), 1u);
  EXPECT_EQ(diagnostics[0].size(), LOG_LINE_SIZE);
  EXPECT_EQ(diagnostics[0].substr(LOG_LINE_SIZE - 3), "z\r\n");
}

TEST_F(LogTest, CutsNeverSplitAMultiByteCharacter) {
  std::string text;
  for (int i = 0; i < 200; ++i) text += "下";  // 3 bytes each
  LogLine(panel, "x%s", text.c_str());
  const std::string shown = panel.Log();
  // 1 + 169 * 3 = 508 bytes fit before the 510-byte cut; the 170th character would straddle it.
  EXPECT_EQ(shown.size(), 509u);
  EXPECT_EQ(shown.back(), '\n');
  EXPECT_EQ(shown.substr(shown.size() - 4, 3), "下");
}

TEST_F(LogTest, LastErrorShowsCaptionHexCodeAndSystemText) {
  LogLastError(panel, "打开串口:", ENOENT);
  LogLastError(panel, "    读下载文件 ", 26);
  // The system's text is taken as it is: on Windows it brings its own line end.
  EXPECT_EQ(panel.Log(), "打开串口::Last Err(2)" + SystemErrorText(ENOENT) + "\r\n" +
                             "    读下载文件 :Last Err(1a)" + SystemErrorText(26) + "\r\n");
  EXPECT_FALSE(SystemErrorText(ENOENT).empty());
}

TEST_F(LogTest, LinesFromTwoThreadsArriveWhole) {
  SetDiagnosticSink(nullptr);  // the capture above is not thread-safe
  auto writer = [this](const char* who) {
    for (int i = 0; i < 500; ++i) LogLine(panel, "%s line %d", who, i);
  };
  std::thread a(writer, "worker");
  std::thread b(writer, "window");
  a.join();
  b.join();
  const auto appends = panel.Appends();
  ASSERT_EQ(appends.size(), 1000u);
  for (const auto& text : appends) {
    EXPECT_TRUE(text.ends_with("\r\n")) << text;
    EXPECT_EQ(text.find("\r\n"), text.size() - 2) << text;
  }
}

// The log shows at most 100 characters of a system's text, counted as characters (not bytes),
// and keeps the text's line end, so a long message still ends its line.
TEST(SystemText, CutAtAHundredCharactersWithItsLineEndKept) {
  auto repeat = [](const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
  };
  const struct {
    std::string text;
    std::string shown;
  } cases[] = {
      {"No such file or directory", "No such file or directory"},
      {"", ""},
      {"系统找不到指定的文件。\r\n", "系统找不到指定的文件。\r\n"},
      {repeat("a", 100), repeat("a", 100)},
      {repeat("a", 101), repeat("a", 100)},
      {repeat("找", 150), repeat("找", 100)},
      {repeat("找", 150) + "\r\n", repeat("找", 98) + "\r\n"},
      {repeat("a", 98) + "\r\n", repeat("a", 98) + "\r\n"},
      {repeat("a", 99) + "\n", repeat("a", 99) + "\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(ShownSystemText(c.text), c.shown) << c.text;
}

}  // namespace
}  // namespace iapflash
