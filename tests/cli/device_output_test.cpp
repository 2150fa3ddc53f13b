// What the command line makes of several runs: labelled lines, the summary table, the JSON
// objects and the progress lines, fed with runs' events and lines by hand.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "captured_text.h"
#include "cli/device_progress.h"
#include "cli/json_events.h"
#include "cli/line_report.h"
#include "virtual_clock.h"

namespace iapflash::cli {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::VirtualClock;

std::vector<nlohmann::json> Objects(const std::string& text) {
  std::vector<nlohmann::json> objects;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    objects.push_back(nlohmann::json::parse(text.substr(start, end - start)));
  }
  EXPECT_EQ(start, text.size()) << "every object ends its line";
  return objects;
}

DeviceOutcome Failed(RunStep step, FailureLayer layer, std::string line, uint64_t ms) {
  return {{false, step, layer, std::move(line)}, ms};
}

TEST(SummaryTable, OneRowPerDeviceWithTheFirstFailureLine) {
  const std::string table =
      SummaryTable({"/dev/pts/3", "COM5", "ttyACM10"},
                   {DeviceOutcome{{true, RunStep::ReadFile, FailureLayer::None}, 27412},
                    Failed(RunStep::Verify, FailureLayer::Device, "[00000400]检验(7).", 3060),
                    Failed(RunStep::OpenLink, FailureLayer::Port, "ttyACM10打开失败", 0)});
  EXPECT_EQ(table,
            "Summary: 1 of 3 devices succeeded\n"
            "  #  PORT        RESULT   SECONDS  FAILURE\n"
            "  0  /dev/pts/3  success     27.4\n"
            "  1  COM5        failure      3.1  [00000400]检验(7).\n"
            "  2  ttyACM10    failure      0.0  ttyACM10打开失败\n");
}

// A port's name and a failure line are one line each in the table, whatever they hold.
TEST(SummaryTable, ControlCharactersInPortsAndFailuresAreEscaped) {
  DeviceOutcome stopped = Failed(RunStep::Program, FailureLayer::Link, "Read status failure.", 900);
  stopped.stopLine = "iapflash: the run was interrupted by SIGINT";
  const std::string table = SummaryTable(
      {"a\nb", "COM5", "COM6"},
      {Failed(RunStep::OpenLink, FailureLayer::Port, "a\nb打开失败", 0),
       Failed(RunStep::OpenLink, FailureLayer::ModeSwitch, "x\r[9 COM9] ok", 0), stopped});
  EXPECT_EQ(table,
            "Summary: 0 of 3 devices succeeded\n"
            "  #  PORT    RESULT   SECONDS  FAILURE\n"
            "  0  a\\x0Ab  failure      0.0  a\\x0Ab打开失败\n"
            "  1  COM5    failure      0.0  x\\x0D[9 COM9] ok\n"
            "  2  COM6    failure      0.9  iapflash: the run was interrupted by SIGINT\n");
}

TEST(LineReport, EveryLineCarriesItsDevicesLabel) {
  CapturedText out;
  LineReport report(out, {{"COM5", std::nullopt}, {"/dev/pts/12", std::nullopt}}, nullptr);
  report.OnLine(1, "4.写FLASH>>");
  report.OnLine(0, "");
  report.OnLine(1, "....  成功");
  report.OnLine(0, ".    设备无响应2:\x1b[2J");
  report.OnLine(1, ".    设备无响应2:\r[0 COM5] ****");
  DeviceOutcome stopped = Failed(RunStep::Program, FailureLayer::Link, "串口读失败.", 5000);
  stopped.stopLine = "iapflash: the run was stopped at its time limit of 5 s";
  report.OnDone(0, stopped);
  EXPECT_EQ(out.text,
            "[1 /dev/pts/12] 4.写FLASH>>\n[0 COM5] \n[1 /dev/pts/12] ....  成功\n"
            "[0 COM5] .    设备无响应2:\\x1B[2J\n"
            "[1 /dev/pts/12] .    设备无响应2:\\x0D[0 COM5] ****\n"
            "[0 COM5] iapflash: the run was stopped at its time limit of 5 s\n")
      << "what a device sent never drives the terminal nor starts a line of its own";
}

class JsonEventsTest : public ::testing::Test {
 protected:
  JsonEventsTest() { events.SetDevices({{"COM5", std::nullopt}, {"COM6", std::nullopt}}, nullptr); }

  CapturedText out;
  VirtualClock clock;
  JsonEvents events{out, clock};
};

TEST_F(JsonEventsTest, ProgressComesAtMostOncePerKibPlusEachPassesEnds) {
  events.OnEvent(1, StepStarted{RunStep::Program});
  for (uint32_t done = 0; done <= 3000; done += 32) {
    events.OnEvent(1, PassProgress{ImagePass::Program, done, 3000});
  }
  events.OnEvent(1, PassProgress{ImagePass::Program, 3000, 3000});
  events.OnEvent(1, PassProgress{ImagePass::Verify, 0, 3000});
  std::vector<uint32_t> shown;
  for (const auto& object : Objects(out.text)) {
    if (object["event"] == "progress") {
      shown.push_back(object["done"].get<uint32_t>());
      EXPECT_EQ(object["port"], "COM6");
      EXPECT_EQ(object["position"], 1);
      EXPECT_EQ(object["total"], 3000);
    }
  }
  EXPECT_THAT(shown, ElementsAre(0u, 1024u, 2048u, 3000u, 0u));
  EXPECT_EQ(out.kept,
            R"({"event":"step_started","elapsed":0.0,"position":1,"port":"COM6","step":4,)"
            R"("name":"program"})"
            "\n")
      << "progress objects may be dropped when the reader falls behind";
}

TEST_F(JsonEventsTest, EachRunEventBecomesOneObjectWithItsFields) {
  clock.Advance(1500);
  events.OnEvent(0, StepStarted{RunStep::OpenLink});
  events.OnEvent(0, PortOpened{"COM5", PortRole::Application});
  events.OnEvent(0, ModeSwitchStep{SwitchStage::Requested, ""});
  events.OnEvent(0, ModeSwitchStep{SwitchStage::Found, "COM9"});
  events.OnEvent(0, PortOpened{"COM9", PortRole::Download});
  events.OnEvent(0, StepEnded{RunStep::OpenLink, true});
  events.OnEvent(0, RunFinished{false, RunStep::Verify, FailureLayer::Device});
  events.OnDone(0, Failed(RunStep::Verify, FailureLayer::Device, "[00000400]检验(7).", 2250));
  events.Summary({Failed(RunStep::Verify, FailureLayer::Device, "x", 1)}, 1);

  const std::string text = out.text;
  EXPECT_EQ(text.substr(0, text.find('\n')),
            R"({"event":"step_started","elapsed":1.5,"position":0,"port":"COM5","step":2,)"
            R"("name":"open_link"})");
  const auto objects = Objects(text);
  ASSERT_EQ(objects.size(), 8u) << "RunFinished is said by the result object alone";
  EXPECT_EQ(objects[1]["role"], "application");
  EXPECT_EQ(objects[2]["stage"], "requested");
  EXPECT_FALSE(objects[2].contains("boot_port"));
  EXPECT_EQ(objects[3]["boot_port"], "COM9");
  EXPECT_EQ(objects[4]["opened"], "COM9");
  EXPECT_EQ(objects[4]["role"], "download");
  EXPECT_EQ(objects[5]["success"], true);
  const auto& result = objects[6];
  EXPECT_EQ(result["event"], "result");
  EXPECT_EQ(result["success"], false);
  EXPECT_EQ(result["failed_step"], 5);
  EXPECT_EQ(result["failed_step_name"], "verify");
  EXPECT_EQ(result["layer"], "device");
  EXPECT_EQ(result["message"], "[00000400]检验(7).");
  EXPECT_EQ(result["seconds"], 2.25);
  EXPECT_EQ(objects[7]["event"], "summary");
  EXPECT_EQ(objects[7]["failed"], 1);
  EXPECT_EQ(objects[7]["exit_status"], 1);
  EXPECT_FALSE(objects[7].contains("position"));
}

TEST_F(JsonEventsTest, ARunStoppedByItsLimitOrASignalSaysSoInItsLayer) {
  DeviceOutcome timedOut = Failed(RunStep::Program, FailureLayer::Link, "串口读失败.", 2000);
  timedOut.timedOut = true;
  timedOut.stopLine = "iapflash: the run was stopped at its time limit of 2 s";
  DeviceOutcome interrupted = Failed(RunStep::OpenLink, FailureLayer::ModeSwitch, "失败.", 10);
  interrupted.interrupted = true;
  interrupted.stopLine = "iapflash: the run was interrupted by SIGINT";
  events.OnDone(0, timedOut);
  events.OnDone(1, interrupted);
  const auto objects = Objects(out.text);
  ASSERT_EQ(objects.size(), 4u) << "each stop line, then its result";
  EXPECT_EQ(objects[0]["event"], "log");
  EXPECT_EQ(objects[0]["text"], "iapflash: the run was stopped at its time limit of 2 s");
  EXPECT_EQ(objects[1]["layer"], "timeout");
  EXPECT_EQ(objects[1]["message"], "iapflash: the run was stopped at its time limit of 2 s");
  EXPECT_EQ(objects[1]["failed_step_name"], "program") << "where it stood when it was stopped";
  EXPECT_EQ(objects[2]["position"], 1);
  EXPECT_EQ(objects[3]["layer"], "interrupted");
  EXPECT_EQ(objects[3]["message"], "iapflash: the run was interrupted by SIGINT");
}

TEST_F(JsonEventsTest, TextThatIsNotUtf8IsReplacedNotRefused) {
  events.OnLine(0, ".    设备无响应2:\xFF\xFEok\x01");
  events.Line("已查找到2个设备");
  const auto objects = Objects(out.text);
  ASSERT_EQ(objects.size(), 2u);
  EXPECT_EQ(objects[0]["text"], ".    设备无响应2:\xEF\xBF\xBD\xEF\xBF\xBDok\x01");
  EXPECT_EQ(objects[1]["text"], "已查找到2个设备");
  EXPECT_FALSE(objects[1].contains("position")) << "the scan's line belongs to no device";
}

TEST(DeviceProgressLines, EachDeviceShowsItsStepItsBarOrItsResult) {
  CapturedText terminal;
  VirtualClock clock;
  DeviceProgressLines lines(terminal, clock, false, [] { return 100; },
                            {"[0 COM5] ", "[1 COM6] ", "[2 COM7] "});
  lines.OnEvent(0, StepStarted{RunStep::OpenLink});
  lines.OnEvent(0, ModeSwitchStep{SwitchStage::Requested, ""});
  lines.OnEvent(1, StepStarted{RunStep::Program});
  lines.OnEvent(1, PassProgress{ImagePass::Program, 1024, 2048});
  lines.OnDone(2, Failed(RunStep::Verify, FailureLayer::Device, "[00000400]检验(7).", 3060));

  EXPECT_EQ(lines.Line(0, 99), "[0 COM5] switching to the boot program");
  EXPECT_THAT(lines.Line(1, 99), ::testing::StartsWith("[1 COM6] ["));
  EXPECT_THAT(lines.Line(1, 99), HasSubstr(" 25%"));
  EXPECT_EQ(lines.Line(2, 99), "[2 COM7] failed at step 5 in 3.1 s: [00000400]检验(7).");
  // Cut to the terminal's width, never inside a character: the two-column ones count as two.
  EXPECT_EQ(lines.Line(2, 47), "[2 COM7] failed at step 5 in 3.1 s: [00000400]");
  EXPECT_EQ(lines.Line(2, 49), "[2 COM7] failed at step 5 in 3.1 s: [00000400]检");

  lines.Finish();
  const std::string drawn = terminal.text;
  // The block is drawn in place: each redraw goes back up over the three lines it drew.
  EXPECT_THAT(drawn, HasSubstr("\x1b[3A\r"));
  EXPECT_THAT(drawn.substr(drawn.rfind("\x1b[3A")), HasSubstr("检验(7).\x1b[K\n"));
}

// Sixteen devices on a terminal of ten rows: the block keeps to nine lines, the last saying how
// many more there are, and its redraws go back up over those nine only.
TEST(DeviceProgressLines, ABlockTallerThanTheTerminalShowsWhatFits) {
  CapturedText terminal;
  VirtualClock clock;
  std::vector<std::string> labels;
  for (int k = 0; k < 16; ++k)
    labels.push_back("[" + std::to_string(k) + " COM" + std::to_string(20 + k) + "] ");
  DeviceProgressLines lines(
      terminal, clock, false, [] { return 80; }, labels, [] { return 10; });
  lines.OnEvent(0, StepStarted{RunStep::ReadFile});
  lines.OnEvent(15, StepStarted{RunStep::ReadFile});
  lines.Finish();
  const std::string last = terminal.text.substr(terminal.text.rfind("\x1b[9A\r"));
  EXPECT_EQ(last,
            "\x1b[9A\r[0 COM20] reading the update file\x1b[K\n"
            "[1 COM21] waiting\x1b[K\n[2 COM22] waiting\x1b[K\n[3 COM23] waiting\x1b[K\n"
            "[4 COM24] waiting\x1b[K\n[5 COM25] waiting\x1b[K\n[6 COM26] waiting\x1b[K\n"
            "[7 COM27] waiting\x1b[K\n... 8 more devices\x1b[K\n");
  EXPECT_EQ(terminal.text.find("\x1b[1"), std::string::npos) << "never up over more than it drew";
  EXPECT_TRUE(terminal.kept.ends_with(last)) << "the last state is never dropped";
}

TEST(DeviceProgressLines, OnTheLogsTerminalTheBlockMakesWayForEachLogWrite) {
  CapturedText terminal;
  VirtualClock clock;
  DeviceProgressLines lines(terminal, clock, true, [] { return 80; }, {"[0 A] ", "[1 B] "});
  lines.OnEvent(0, StepStarted{RunStep::ReadFile});
  lines.BeforeLog();
  const std::size_t erasedAt = terminal.text.size();
  lines.AfterLog();
  const std::string drawn = terminal.text;
  EXPECT_THAT(drawn.substr(0, erasedAt), ::testing::EndsWith("\x1b[2A\r\x1b[J"));
  EXPECT_THAT(drawn.substr(erasedAt), Not(HasSubstr("\x1b[2A")))
      << "after the log's line the block is drawn below it, not over it";
  EXPECT_THAT(drawn.substr(erasedAt), HasSubstr("[1 B] waiting\x1b[K\n"));
}

}  // namespace
}  // namespace iapflash::cli
