// --timeout: a run past its limit ends as a failure with a line that says so, its port closed;
// other devices go on. And a signal ends every device's run the same way.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <string>
#include <vector>

#include "fixtures.h"
#include "program_run.h"
#include "users_terminal.h"

namespace iapflash::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;

// A device that takes its time over every reply (well inside the read's limit): a whole download
// of the image would take about a minute.
SimWireTiming Slow() {
  return SimWireTiming{0, 400'000, 0};
}

class TimeLimit : public ::testing::Test {
 protected:
  TimeLimit() { WriteUpdateFile(file, EveryValueImage(4096)); }
  TempFolder folder;
  const std::filesystem::path file = folder.Path("image.bin");
};

TEST_F(TimeLimit, ASlowDeviceIsStoppedAtTheLimitAndItsPortGivenBack) {
  ServedDevice slow(Slow());
  const UsersTerminal terminal(slow.Path());
  const ProgramResult run = RunIapflash(
      {"flash", file.string(), "--port", slow.Path(), "--iap", "--timeout", "1.5"}, 20000);
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_LT(run.seconds, 6.0) << "the limit ended the run, not the device";
  EXPECT_GE(run.seconds, 1.4);
  EXPECT_EQ(run.err, "iapflash: the run was stopped at its time limit of 1.5 s\n");
  EXPECT_THAT(run.out, HasSubstr("\n7.关闭下载接口>>\n    已关闭。\n****固件下载失败!\n"));
  // The port was closed: as the user had it, and another user opens it at once.
  EXPECT_TRUE(terminal.AsFound());
  EXPECT_EQ(OpenErrorForAnotherUser(slow.Path()), 0);
}

TEST_F(TimeLimit, OnlyTheDeviceThatRunsOutOfTimeFails) {
  ServedDevice slow(Slow());
  ServedDevice quick;
  const ProgramResult run = RunIapflash({"flash", file.string(), "--port", quick.Path(), "--port",
                                         slow.Path(), "--iap", "--timeout", "2"},
                                        20000);
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_LT(run.seconds, 7.0);
  const std::string label = "[1 " + slow.Path() + "] ";
  EXPECT_THAT(run.out,
              HasSubstr(label + "iapflash: the run was stopped at its time limit of 2 s\n"));
  EXPECT_THAT(run.out, HasSubstr("[0 " + quick.Path() + "] ****固件下载成功.\n"));
  EXPECT_THAT(run.out,
              ::testing::ContainsRegex(
                  "failure +[0-9.]+  iapflash: the run was stopped at its time limit of 2 s"));

  // Fresh devices: the stopped one may still have a reply on its way.
  ServedDevice slowAgain(Slow());
  ServedDevice quickAgain;
  const ProgramResult json =
      RunIapflash({"flash", file.string(), "--port", quickAgain.Path(), "--port", slowAgain.Path(),
                   "--iap", "--timeout", "2", "--json"},
                  20000);
  EXPECT_EQ(json.status, 1);
  EXPECT_THAT(json.out,
              HasSubstr(R"("position":1,"port":")" + slowAgain.Path() + R"(","success":false,)"));
  EXPECT_THAT(json.out, HasSubstr(R"("layer":"timeout","message":"iapflash: the run was stopped )"
                                  R"(at its time limit of 2 s")"))
      << json.out;
}

TEST_F(TimeLimit, AnInterruptEndsEveryDevicesRunAndGivesTheirPortsBack) {
  ServedDevice first(Slow());
  ServedDevice second(Slow());
  const UsersTerminal firstTerminal(first.Path());
  const UsersTerminal secondTerminal(second.Path());
  BackgroundIapflash run(
      {"flash", file.string(), "--port", first.Path(), "--port", second.Path(), "--iap"});
  // Both are programming once each has written its first line of step 4.
  ASSERT_FALSE(run.ReadLine(10000).empty());
  ASSERT_TRUE(Eventually([&] { return first.device->Commands().size() > 2; }, 10000));
  ASSERT_TRUE(Eventually([&] { return second.device->Commands().size() > 2; }, 10000));
  EXPECT_EQ(run.Stop(SIGINT), 130);
  const std::string out = run.RestOfOut();
  // Each device's log ends with its own line, and its row of the summary says the same.
  const std::string line = "iapflash: the run was interrupted by SIGINT";
  for (const auto& [k, path] : {std::pair{0, first.Path()}, std::pair{1, second.Path()}}) {
    SCOPED_TRACE(path);
    const std::string label = "[" + std::to_string(k) + " " + path + "] ";
    EXPECT_THAT(out, HasSubstr(label + "****固件下载失败!\n")) << out;
    EXPECT_THAT(out, HasSubstr(label + line + "\n"));
    EXPECT_THAT(out, ::testing::ContainsRegex("\n +" + std::to_string(k) + "  " + path +
                                              " +failure +[0-9.]+  " + line + "\n"));
  }
  EXPECT_EQ(run.Err(), "iapflash: the runs were interrupted by SIGINT\n");
  for (const auto* terminal : {&firstTerminal, &secondTerminal}) {
    EXPECT_TRUE(terminal->AsFound());
  }
  EXPECT_EQ(OpenErrorForAnotherUser(first.Path()), 0);
  EXPECT_EQ(OpenErrorForAnotherUser(second.Path()), 0);
}

TEST(TimeLimitUsage, ALimitMustBeAPositiveNumberOfSeconds) {
  for (const char* bad : {"0", "-1", "soon", "1e9"}) {
    const ProgramResult run = RunIapflash({"flash", "x.bin", "--port", "ttyS0", "--timeout", bad});
    EXPECT_EQ(run.status, 2) << bad;
    EXPECT_THAT(run.out, IsEmpty()) << bad;
  }
}

}  // namespace
}  // namespace iapflash::testing
