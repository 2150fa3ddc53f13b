// --timeout: a run past its limit ends as a failure with a line that says so, its port closed;
// other devices go on. And a signal ends every device's run the same way.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "fixtures.h"
#include "platform/serial_port.h"
#include "program_run.h"

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
  const ProgramResult run = RunIapflash(
      {"flash", file.string(), "--port", slow.Path(), "--iap", "--timeout", "1.5"}, 20000);
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_LT(run.seconds, 6.0) << "the limit ended the run, not the device";
  EXPECT_GE(run.seconds, 1.4);
  EXPECT_EQ(run.err, "iapflash: the run was stopped at its time limit of 1.5 s\n");
  EXPECT_THAT(run.out, HasSubstr("\n7.关闭下载接口>>\n    已关闭。\n****固件下载失败!\n"));
  // The port was closed: it opens again at once.
  SystemError error = 0;
  EXPECT_NE(SystemSerialPorts().Open(slow.Path(), error), nullptr) << error;
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
  BackgroundIapflash run(
      {"flash", file.string(), "--port", first.Path(), "--port", second.Path(), "--iap"});
  // Both are programming once each has written its first line of step 4.
  ASSERT_FALSE(run.ReadLine(10000).empty());
  ASSERT_TRUE(Eventually([&] { return first.device->Commands().size() > 2; }, 10000));
  ASSERT_TRUE(Eventually([&] { return second.device->Commands().size() > 2; }, 10000));
  EXPECT_EQ(run.Stop(SIGINT), 130);
  SystemError error = 0;
  EXPECT_NE(SystemSerialPorts().Open(first.Path(), error), nullptr) << error;
  EXPECT_NE(SystemSerialPorts().Open(second.Path(), error), nullptr) << error;
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
