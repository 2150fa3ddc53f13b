#include "cli/progress.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli_panel.h"
#include "virtual_clock.h"

namespace iapflash::cli {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using testing::VirtualClock;

void Feed(DownloadProgress& progress, const std::vector<std::string>& appends) {
  for (const auto& text : appends) progress.Observe(text);
}

// Everything written to a temporary stream so far.
std::string Contents(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
  return text;
}

TEST(DownloadProgress, CountsDotsOfBothPassesAndNotTheStartWait) {
  VirtualClock clock;
  DownloadProgress progress(clock);
  Feed(progress, {"\r\n****开始通过串口接口进行IAP下载:\r\n", "1.读取下载文件内容>>\r\n",
                  "  已读取下载数据2500字节\r\n", "3.开始更新FLASH>>\r\n", ".", ".", "  成功\r\n"});
  EXPECT_FALSE(progress.Active());
  EXPECT_EQ(progress.Done(), 0u);

  Feed(progress, {"4.写FLASH>>\r\n", ".", "."});
  EXPECT_TRUE(progress.Active());
  EXPECT_EQ(progress.Total(), 5000u);
  EXPECT_EQ(progress.Done(), 2048u);
  clock.Advance(1000);
  const std::string shown = progress.Render(100);
  EXPECT_THAT(shown, HasSubstr(" 40%"));
  EXPECT_THAT(shown, HasSubstr("2048/5000 B"));
  EXPECT_THAT(shown, HasSubstr("2.0 KiB/s"));
  EXPECT_THAT(shown, HasSubstr("0:01 left"));

  // The tail of less than 1024 bytes shows no dot: the pass's result completes it.
  Feed(progress, {"  成功\r\n", "5.下载检验>>\r\n", "."});
  EXPECT_EQ(progress.Done(), 2500u + 1024u);
  Feed(progress, {".", ".", "  成功\r\n"});
  EXPECT_EQ(progress.Done(), 5000u) << "dots never count past the image";
  EXPECT_FALSE(progress.Active());
  EXPECT_THAT(progress.Render(100), HasSubstr("100%"));
}

TEST(DownloadProgress, StopsWhereAFailedPassLeftIt) {
  VirtualClock clock;
  DownloadProgress progress(clock);
  Feed(progress, {"  已读取下载数据4096字节\r\n", "4.写FLASH>>\r\n", ".",
                  ".  [00000400]编程(A).\r\n", "  失败.\r\n", "  下载失败\r\n"});
  EXPECT_FALSE(progress.Active());
  EXPECT_EQ(progress.Done(), 1024u);
}

TEST(DownloadProgress, RenderNeverExceedsItsWidth) {
  VirtualClock clock;
  DownloadProgress progress(clock);
  Feed(progress, {"  已读取下载数据102400字节\r\n", "4.写FLASH>>\r\n", ".", "."});
  clock.Advance(250);
  for (int width = 0; width <= 120; ++width) {
    const std::string shown = progress.Render(width);
    EXPECT_LE(static_cast<int>(shown.size()), width) << shown;
    if (width >= 4) {
      EXPECT_THAT(shown, HasSubstr("1%")) << width;
    }
  }
  EXPECT_THAT(progress.Render(120), StartsWith("[---"));
  EXPECT_THAT(progress.Render(120), HasSubstr("0:24 left"));
}

TEST(CliText, LineEndsAndDisplayWidth) {
  EXPECT_EQ(WithUnixLineEnds("已关闭。\r\n"), "已关闭。\n");
  EXPECT_EQ(WithUnixLineEnds("\r\n\r\n"), "\n\n");
  EXPECT_EQ(WithUnixLineEnds("a\rb\r"), "a\rb\r") << "a lone CR is no line end";
  EXPECT_EQ(WithUnixLineEnds("失败!\r\n   1.检查;\r\n"), "失败!\n   1.检查;\n");
  EXPECT_EQ(DisplayWidth("...."), 4);
  EXPECT_EQ(DisplayWidth("4.写FLASH>>"), 11);
  EXPECT_EQ(DisplayWidth(""), 0);
}

TEST(CliPanel, WritesTheLogAndListsDevicesOnlyWhenAsked) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  {
    CliPanel listing(out, "", true);
    listing.AppendLog("已查找到2个设备\r\n");
    listing.ShowDevices({"IAP Port0>> P0:ttyACM0,", " Port1>> P0:ttyACM1,P1:ttyACM2,"}, 1);
    EXPECT_EQ(listing.SelectedDevice(), 1);
    CliPanel flashing(out, "/tmp/a.bin", false);
    flashing.ShowDevices({"not printed"}, 0);
    flashing.AppendLog(".");
    EXPECT_EQ(flashing.SelectedDevice(), 0);
    EXPECT_EQ(flashing.FilePath(), "/tmp/a.bin");
  }
  EXPECT_EQ(Contents(out),
            "已查找到2个设备\nIAP Port0>> P0:ttyACM0,\n Port1>> P0:ttyACM1,P1:ttyACM2,\n.");
  std::fclose(out);
}

TEST(ProgressView, OnItsOwnLineRedrawsInPlaceAndEndsTheLine) {
  std::FILE* bar = std::tmpfile();
  ASSERT_NE(bar, nullptr);
  VirtualClock clock;
  {
    ProgressView view(bar, clock, false, [] { return 60; });
    for (const std::string text :
         {"  已读取下载数据1024字节\r\n", "4.写FLASH>>\r\n", ".", "  成功\r\n", "5.下载检验>>\r\n",
          ".", "  成功\r\n", "6.下载结束>>\r\n"}) {
      view.BeforeLog();
      view.AfterLog(text);
    }
  }
  const std::string shown = Contents(bar);
  EXPECT_THAT(shown, StartsWith("\r["));
  EXPECT_THAT(shown, HasSubstr(" 50%"));
  EXPECT_THAT(shown, HasSubstr("100%  2048/2048 B"));
  EXPECT_EQ(shown.back(), '\n');
  EXPECT_EQ(shown.find('\n'), shown.size() - 1) << "one line, drawn over and ended once";
  std::fclose(bar);
}

TEST(ProgressView, BesideTheLogStandsAfterTheCursorAndIsErasedBeforeEachWrite) {
  std::FILE* bar = std::tmpfile();
  ASSERT_NE(bar, nullptr);
  VirtualClock clock;
  {
    ProgressView view(bar, clock, true, [] { return 80; });
    view.AfterLog("  已读取下载数据4096字节\r\n");
    view.AfterLog("4.写FLASH>>\r\n");
    view.BeforeLog();
    view.AfterLog(".");
    view.BeforeLog();
  }
  const std::string shown = Contents(bar);
  // Drawn after step 4's line and after the dot, each time saved and restored; erased before
  // the log's next write.
  EXPECT_THAT(shown, StartsWith("\x1b"
                                "7 ["));
  EXPECT_THAT(shown, HasSubstr("\x1b"
                               "8\x1b[K\x1b"
                               "7 ["));
  EXPECT_THAT(shown, HasSubstr("12%"));
  EXPECT_TRUE(
      shown.ends_with("\x1b"
                      "8\x1b[K"));
  std::fclose(bar);
}

}  // namespace
}  // namespace iapflash::cli
