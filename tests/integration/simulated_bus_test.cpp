// `iapflash list` and `iapflash flash` on the simulated bus: which device a run takes for
// --device, --port and neither, and what the scan adds to stdout.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "fixtures.h"
#include "program_run.h"

namespace iapflash::testing {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

class SimulatedBusCommand : public ::testing::Test {
 protected:
  void SetUp() override { WriteUpdateFile(file_, EveryValueImage(1024)); }
  ProgramResult Flash(std::vector<std::string> args) {
    args.insert(args.begin(), {"flash", file_.string()});
    return RunIapflash(args);
  }
  TempFolder folder_;
  const std::filesystem::path file_ = folder_.Path("image.bin");
};

TEST_F(SimulatedBusCommand, ListPrintsTheCountLineAndOneLinePerDevice) {
  const ProgramResult run = RunIapflash({"list", "--simulate"});
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(run.err, IsEmpty());
  const auto lines = Lines(run.out);
  ASSERT_FALSE(lines.empty());
  std::smatch count;
  ASSERT_TRUE(std::regex_match(lines[0], count, std::regex("已查找到(\\d+)个设备"))) << run.out;
  ASSERT_EQ(lines.size(), 1 + std::stoul(count[1])) << run.out;
  for (std::size_t k = 1; k < lines.size(); ++k) {
    const std::regex device("(IAP)? Port" + std::to_string(k - 1) + ">> (P\\d+:[^,]+,)+");
    EXPECT_TRUE(std::regex_match(lines[k], device)) << lines[k];
  }
  EXPECT_EQ(lines[1], " Port0>> P0:COM5,P1:COM6,");
  EXPECT_THAT(run.out, Not(HasSubstr("\r")));

  const ProgramResult named = RunIapflash({"list", "--simulate=demo"});
  EXPECT_EQ(named.out, run.out);
}

TEST_F(SimulatedBusCommand, WithoutAChoiceTheLastDeviceIsTakenAsTheWindowWould) {
  const ProgramResult run = Flash({"--simulate"});
  EXPECT_EQ(run.status, 0) << run.out;
  const auto lines = Lines(run.out);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex("已查找到\\d+个设备"))) << run.out;
  EXPECT_THAT(run.out, Not(HasSubstr("Port0>>"))) << "flash logs the count, not the list";
  EXPECT_THAT(run.out, Not(HasSubstr("开始切换至IAP模式")))
      << "the last device runs its boot program";
}

TEST_F(SimulatedBusCommand, DeviceOrPortOfAnApplicationIsSwitchedFirst) {
  for (const auto& choice : std::vector<std::vector<std::string>>{
           {"--device", "0", "--simulate"}, {"--port", "COM5", "--simulate"}}) {
    const ProgramResult run = Flash(choice);
    EXPECT_EQ(run.status, 0) << choice[0] << "\n" << run.out;
    EXPECT_THAT(Lines(run.out), Contains("    COM5打开成功")) << choice[0];
    EXPECT_THAT(Lines(run.out), Contains("    COM9打开成功")) << choice[0];
    EXPECT_THAT(run.out, HasSubstr("****固件下载成功.\n"));
  }
}

TEST_F(SimulatedBusCommand, PortNamedWithIapIsOpenedWithoutAScan) {
  const ProgramResult run = Flash({"--port", "COM8", "--iap", "--simulate"});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_THAT(run.out, Not(HasSubstr("已查找到")));
  EXPECT_THAT(Lines(run.out), Contains("    COM8打开成功"));
}

TEST_F(SimulatedBusCommand, ChoicesTheScanCannotMeetFailTheRun) {
  const ProgramResult beyond = Flash({"--device", "9", "--simulate"});
  EXPECT_EQ(beyond.status, 1);
  EXPECT_THAT(Lines(beyond.out), Contains("    没有选择下载设备"));
  EXPECT_THAT(beyond.err, HasSubstr("no device 9"));

  // A port no scan found is switched as an application without a location: nothing answers.
  const ProgramResult unknown = Flash({"--port", "COM77", "--simulate"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_THAT(unknown.out, HasSubstr("****固件下载失败!"));
}

}  // namespace
}  // namespace iapflash::testing
