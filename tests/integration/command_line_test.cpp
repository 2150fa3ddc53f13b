// The iapflash command's contract: exit statuses, what goes to stdout and stderr, and the sim
// command serving a device by hand.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fixtures.h"
#include "platform/serial_port.h"
#include "program_run.h"

namespace iapflash::testing {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

TEST(CommandLine, MissingFileIsAFailedRunThatCreatesNothing) {
  TempFolder folder;
  const auto missing = folder.Path("absent.bin");
  const ProgramResult run = RunIapflash({"flash", missing.string(), "--port", "ttyS0", "--iap"});
  EXPECT_EQ(run.status, 1);
  const auto lines = Lines(run.out);
  EXPECT_THAT(lines, Contains("    无法打开下载文件" + missing.string()));
  EXPECT_THAT(lines, Contains("    下载接口未打开，无需关闭"));
  EXPECT_EQ(lines.back(), "    3.MCU有没有进入到IAP下载模式;");
  EXPECT_THAT(run.err, IsEmpty());
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(CommandLine, UsageErrorsExitWithTwoAndSpeakOnlyOnStderr) {
  TempFolder folder;
  const std::string file = folder.Path("x.bin").string();
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"flash"},
      {"flash", file, "--bogus"},
      {"flash", file, "--iap"},
      {"flash", file, "--device", "0", "--port", "ttyS0"},
      {"flash", file, "--device", "-1"},
      {"flash", file, "--device", "many"},
      {"flash", file, "--port", std::string(64, 'p'), "--iap"},
      {"flash", file, "--simulate=no-such-scenario"},
      {"list", "--simulate=no-such-scenario"},
      {"sim", "--fault", "explode:now"},
      {"sim", "--baud", "fast"},
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& arg : args) shown += arg + " ";
    const ProgramResult run = RunIapflash(args);
    EXPECT_EQ(run.status, 2) << shown;
    EXPECT_THAT(run.out, IsEmpty()) << shown;
    EXPECT_THAT(run.err, Not(IsEmpty())) << shown;
  }
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST(CommandLine, PortThatCannotBeOpenedIsLoggedWithTheSystemsWords) {
  TempFolder folder;
  const auto file = folder.Path("image.bin");
  WriteUpdateFile(file, EveryValueImage(64));

  const ProgramResult absent =
      RunIapflash({"flash", file.string(), "--port", "ttyNoSuchPort99", "--iap"});
  EXPECT_EQ(absent.status, 1);
  EXPECT_THAT(Lines(absent.out), Contains("    ttyNoSuchPort99打开失败"));
  EXPECT_THAT(Lines(absent.out),
              Contains(std::string("打开串口::Last Err(2)") + std::strerror(ENOENT)));

  // A port held by another program (here: this test) is refused, whoever runs the command.
  ServedDevice served;
  SystemError error = 0;
  const auto held = SystemSerialPorts().Open(served.Path(), error);
  ASSERT_NE(held, nullptr) << error;
  const ProgramResult busy =
      RunIapflash({"flash", file.string(), "--port", served.Path(), "--iap"});
  EXPECT_EQ(busy.status, 1);
  EXPECT_THAT(Lines(busy.out), Contains("    " + served.Path() + "打开失败"));
  EXPECT_THAT(Lines(busy.out),
              Contains(std::string("打开串口::Last Err(10)") + std::strerror(EBUSY)));
  EXPECT_TRUE(served.device->Commands().empty());
}

TEST(CommandLine, SimServesADeviceWithItsFaultsUntilTerminated) {
  TempFolder folder;
  const auto file = folder.Path("image.bin");
  const auto image = EveryValueImage(2048);
  WriteUpdateFile(file, image);
  const auto memoryFile = folder.Path("memory.bin");

  BackgroundIapflash sim({"sim", "--baud", "115200", "--latency", "1", "--fault",
                          "status:verify:0x400:7", "--memory", memoryFile.string()});
  const std::string path = sim.ReadLine(5000);
  ASSERT_EQ(path.rfind("/dev/", 0), 0u) << "the first line is the port's path: " << path;

  const ProgramResult run = RunIapflash({"flash", file.string(), "--port", path, "--iap"});
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_THAT(run.out, HasSubstr("  [00000400]检验(7).\n  出错.\n"));

  // The fault fired once; the device serves the next run as a good one.
  const ProgramResult again = RunIapflash({"flash", file.string(), "--port", path, "--iap"});
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_THAT(again.out, HasSubstr("****固件下载成功.\n"));

  EXPECT_EQ(sim.Stop(SIGTERM), 0);
  EXPECT_FALSE(std::filesystem::exists(path)) << "the pseudo-terminal outlived its server";

  // --memory: the device's whole flash, the image at its start and erased flash after it.
  std::ifstream in(memoryFile, std::ios::binary);
  const std::vector<uint8_t> memory((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
  ASSERT_EQ(memory.size(), 102400u);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
  EXPECT_TRUE(std::all_of(memory.begin() + image.size(), memory.end(),
                          [](uint8_t byte) { return byte == 0xFF; }));
}

}  // namespace
}  // namespace iapflash::testing
