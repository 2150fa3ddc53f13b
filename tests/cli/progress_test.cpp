#include "cli/progress.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "captured_text.h"
#include "cli/cli_panel.h"
#include "cli/terminal_text.h"
#include "virtual_clock.h"

namespace iapflash::cli {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using testing::VirtualClock;

void Feed(DownloadProgress& progress, const std::vector<RunEvent>& events) {
  for (const auto& event : events) progress.Observe(event);
}

PassProgress Programmed(uint32_t done, uint32_t total) {
  return {ImagePass::Program, done, total};
}
PassProgress Verified(uint32_t done, uint32_t total) {
  return {ImagePass::Verify, done, total};
}

TEST(DownloadProgress, CountsBothPassesFromTheirEvents) {
  VirtualClock clock;
  DownloadProgress progress(clock);
  Feed(progress,
       {StepStarted{RunStep::ReadFile}, StepEnded{RunStep::ReadFile, true},
        StepStarted{RunStep::Start}, StepEnded{RunStep::Start, true}, Verified(1000, 2500)});
  EXPECT_FALSE(progress.Active());
  EXPECT_EQ(progress.Done(), 0u) << "nothing counts before the program pass";

  Feed(progress, {StepStarted{RunStep::Program}, Programmed(0, 2500), Programmed(2048, 2500)});
  EXPECT_TRUE(progress.Active());
  EXPECT_EQ(progress.Total(), 5000u);
  EXPECT_EQ(progress.Done(), 2048u);
  clock.Advance(1000);
  const std::string shown = progress.Render(100);
  EXPECT_THAT(shown, HasSubstr(" 40%"));
  EXPECT_THAT(shown, HasSubstr("2048/5000 B"));
  EXPECT_THAT(shown, HasSubstr("2.0 KiB/s"));
  EXPECT_THAT(shown, HasSubstr("0:01 left"));

  // The pass's end completes it even when its last packet's event did not come through.
  Feed(progress,
       {StepEnded{RunStep::Program, true}, StepStarted{RunStep::Verify}, Verified(1024, 2500)});
  EXPECT_EQ(progress.Done(), 2500u + 1024u);
  Feed(progress, {Verified(4000, 2500), StepEnded{RunStep::Verify, true}});
  EXPECT_EQ(progress.Done(), 5000u) << "progress never counts past the image";
  EXPECT_FALSE(progress.Active());
  EXPECT_THAT(progress.Render(100), HasSubstr("100%"));
}

TEST(DownloadProgress, StopsWhereAFailedPassLeftIt) {
  VirtualClock clock;
  DownloadProgress progress(clock);
  Feed(progress, {StepStarted{RunStep::Program}, Programmed(0, 4096), Programmed(1024, 4096),
                  StepEnded{RunStep::Program, false}, Programmed(2048, 4096)});
  EXPECT_FALSE(progress.Active());
  EXPECT_EQ(progress.Done(), 1024u);
}

TEST(DownloadProgress, RenderNeverExceedsItsWidth) {
  VirtualClock clock;
  DownloadProgress progress(clock);
  Feed(progress, {StepStarted{RunStep::Program}, Programmed(2048, 102400)});
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

// What a device sent never drives the terminal: C0 controls other than LF, TAB and the CR of a
// CR LF, DEL and the C1 controls are shown escaped (a lone CR would let a reply start a line that
// looks like another device's); everything else, Chinese included, is left as it is.
TEST(CliText, ControlCharactersAreEscaped) {
  const std::pair<std::string, std::string> cases[] = {
      {"    设备无响应1:\x1b]0;owned\x07\r\n", "    设备无响应1:\\x1B]0;owned\\x07\r\n"},
      {"a\tb\rc\n", "a\tb\\x0Dc\n"},
      {"设备无响应2:\r[3 COM9] ****固件下载成功.\r\n",
       "设备无响应2:\\x0D[3 COM9] ****固件下载成功.\r\n"},
      {std::string("x\0y", 3), "x\\x00y"},
      {"\x7f\x01\x1f", "\\x7F\\x01\\x1F"},
      {"\xc2\x9b"
       "2J",
       "\\xC2\\x9B2J"},
      {"\xc2\xa0已关闭。", "\xc2\xa0已关闭。"},
      {"C:\\fw\\app.bin", "C:\\fw\\app.bin"},
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(WithControlsEscaped(text), shown) << shown;

  CapturedText out;
  {
    CliPanel panel(out, false);
    panel.AppendLog("\x1b[2J已切换\r\n");
  }
  EXPECT_EQ(out.text, "\\x1B[2J已切换\n");
}

TEST(CliPanel, WritesTheLogAndListsDevicesOnlyWhenAsked) {
  CapturedText out;
  {
    CliPanel listing(out, true);
    listing.AppendLog("已查找到2个设备\r\n");
    listing.ShowDevices({"IAP Port0>> P0:ttyACM0,", " Port1>> P0:ttyACM1,P1:ttyACM2,"}, 1);
    EXPECT_EQ(listing.SelectedDevice(), 1);
    CliPanel flashing(out, false);
    flashing.ShowDevices({"not printed"}, 0);
    flashing.AppendLog(".");
    EXPECT_EQ(flashing.SelectedDevice(), 0);
  }
  EXPECT_EQ(out.text,
            "已查找到2个设备\nIAP Port0>> P0:ttyACM0,\n Port1>> P0:ttyACM1,P1:ttyACM2,\n.");
}

// One device's log as the window shows it: its text as it comes (dots where they came), and the
// line that says why it was stopped on the other stream, after its bar's line has ended.
TEST(OneDeviceLog, WritesTheTextAsItComesAndTheStopLineApart) {
  CapturedText log;
  CapturedText messages;
  VirtualClock clock;
  ProgressView bar(messages, clock, false, [] { return 60; });
  OneDeviceLog device(log, messages, &bar);
  device.OnText(0, "4.写FLASH>>\r\n");
  device.OnEvent(0, StepStarted{RunStep::Program});
  device.OnEvent(0, PassProgress{ImagePass::Program, 0, 2048});
  device.OnText(0, ".");
  device.OnText(0, "    串口读失败.\r\n");
  DeviceOutcome outcome{{false, RunStep::Program, FailureLayer::Link, "串口读失败."}, 5000};
  outcome.timedOut = true;
  outcome.stopLine = "iapflash: the run was stopped at its time limit of 5 s";
  device.OnDone(0, outcome);
  EXPECT_EQ(log.text, "4.写FLASH>>\n.    串口读失败.\n");
  EXPECT_TRUE(
      messages.text.ends_with("\x1b[K\niapflash: the run was stopped at its time limit of 5 s\n"))
      << messages.text;
}

// A run's log appends and events as a 2048-byte download gives them, in their order.
struct Happening {
  std::string log;  // empty: the event
  std::optional<RunEvent> event;
};

std::vector<Happening> DownloadOf2048() {
  std::vector<Happening> all = {{"3.开始更新FLASH>>\r\n", {}},
                                {"  成功\r\n", {}},
                                {"4.写FLASH>>\r\n", {}},
                                {"", StepStarted{RunStep::Program}}};
  for (const ImagePass pass : {ImagePass::Program, ImagePass::Verify}) {
    for (uint32_t done = 0; done <= 2048; done += 32) {
      all.push_back({"", PassProgress{pass, done, 2048}});
      if (done > 0 && done % 1024 == 0) all.push_back({".", {}});
    }
    const RunStep step = pass == ImagePass::Program ? RunStep::Program : RunStep::Verify;
    all.push_back({"  成功\r\n", {}});
    all.push_back({"", StepEnded{step, true}});
    if (pass == ImagePass::Program) {
      all.push_back({"5.下载检验>>\r\n", {}});
      all.push_back({"", StepStarted{RunStep::Verify}});
    }
  }
  all.push_back({"6.下载结束>>\r\n", {}});
  return all;
}

void Play(ProgressView& view, const std::vector<Happening>& happenings) {
  for (const Happening& h : happenings) {
    if (h.event) {
      view.OnEvent(*h.event);
    } else {
      view.BeforeLog();
      view.AfterLog(h.log);
    }
  }
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

TEST(ProgressView, OnItsOwnLineRedrawsInPlaceAndEndsTheLine) {
  CapturedText bar;
  VirtualClock clock;
  {
    ProgressView view(bar, clock, false, [] { return 60; });
    Play(view, DownloadOf2048());
    view.Finish();
  }
  const std::string shown = bar.text;
  EXPECT_THAT(shown, StartsWith("\r[------------------------------]   0%  0/4096 B"));
  EXPECT_THAT(shown, HasSubstr(" 25%  1024/4096 B"));
  EXPECT_THAT(shown, HasSubstr(" 50%  2048/4096 B"));
  EXPECT_THAT(shown, HasSubstr("100%  4096/4096 B"));
  EXPECT_EQ(shown.back(), '\n');
  EXPECT_EQ(shown.find('\n'), shown.size() - 1) << "one line, drawn over and ended once";
  // Drawn at each pass's start, at each KiB and at each pass's end, not at every packet.
  EXPECT_EQ(Count(shown, "\r"), 7u) << shown;
}

TEST(ProgressView, BesideTheLogStandsAfterTheCursorAndIsErasedBeforeEachWrite) {
  CapturedText bar;
  VirtualClock clock;
  {
    ProgressView view(bar, clock, true, [] { return 80; });
    view.AfterLog("4.写FLASH>>\r\n");
    view.OnEvent(StepStarted{RunStep::Program});
    view.OnEvent(PassProgress{ImagePass::Program, 0, 4096});
    view.OnEvent(PassProgress{ImagePass::Program, 32, 4096});
    view.OnEvent(PassProgress{ImagePass::Program, 1024, 4096});
    view.BeforeLog();
    view.AfterLog(".");
    view.BeforeLog();
  }
  const std::string shown = bar.text;
  // Drawn when the pass begins, again at its first KiB and after the dot, each time saved and
  // restored; erased before each redraw and before the log's next write.
  EXPECT_THAT(shown, StartsWith("\x1b"
                                "7 ["));
  EXPECT_THAT(shown, HasSubstr("  0%"));
  EXPECT_THAT(shown, HasSubstr("12%"));
  EXPECT_EQ(Count(shown,
                  "\x1b"
                  "7 ["),
            3u)
      << "no redraw for the packet within the first KiB";
  EXPECT_TRUE(
      shown.ends_with("\x1b"
                      "8\x1b[K"));
}

TEST(ProgressView, AFailedRunLeavesTheBarWhereItStood) {
  CapturedText bar;
  VirtualClock clock;
  {
    ProgressView view(bar, clock, false, [] { return 60; });
    view.OnEvent(StepStarted{RunStep::Program});
    view.OnEvent(PassProgress{ImagePass::Program, 0, 4096});
    view.OnEvent(PassProgress{ImagePass::Program, 1024, 4096});
    view.OnEvent(StepEnded{RunStep::Program, false});
    view.OnEvent(RunFinished{false, RunStep::Program, FailureLayer::Device});
    view.Finish();
  }
  const std::string shown = bar.text;
  EXPECT_TRUE(shown.ends_with(" 12%  1024/8192 B\x1b[K\n")) << shown;
  EXPECT_EQ(shown.find('\n'), shown.size() - 1);
}

}  // namespace
}  // namespace iapflash::cli
