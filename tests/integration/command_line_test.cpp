// The iapflash command's contract: exit statuses, what goes to stdout and stderr, and the sim
// command serving a device by hand.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
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
      {"flash", file, "--port", "--port", "ttyS0", "--iap"},
      {"flash", file, "--port", "ttyS0", "--timeout", "0x10"},
      {"flash", file, "--port", "ttyS0", "--timeout", "0.0001"},
      {"flash", file, "--port", "ttyS0", "--timeout", "1e3"},
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

// --json names no device that is not there: no result, a summary of no devices, status 1.
TEST(CommandLine, JsonWithoutTheNamedDeviceReportsNoDevice) {
  TempFolder folder;
  const auto file = folder.Path("image.bin");
  WriteUpdateFile(file, EveryValueImage(64));
  const ProgramResult run =
      RunIapflash({"flash", file.string(), "--device", "9", "--simulate", "--json"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "iapflash: no device 9; the scan found 5\n");
  const auto lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 3u) << run.out;
  EXPECT_THAT(lines[0], HasSubstr(R"("event":"log")"));
  EXPECT_THAT(lines[1], HasSubstr(R"("event":"scan")"));
  EXPECT_THAT(lines[2], HasSubstr(R"("event":"summary")"));
  EXPECT_THAT(lines[2], HasSubstr(R"("devices":0,"succeeded":0,"failed":0,"exit_status":1})"));
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

// The whole of what one device's run writes, stdout and stderr, byte for byte: success, a
// device's fault, a mode switch that never finds the device, the time limit. PORT stands for the
// served device's path; the dots of a wait (as many as real time allowed) are left out after the
// start step's line, and shown as "<dots>" after the program step's where the case says so.
struct WholeOutputCase {
  const char* name;
  std::vector<std::string> faults;  // a served device's; none: the simulated bus
  std::vector<std::string> args;    // after FILE
  int status;
  std::string out;
  std::string err;
};

void PrintTo(const WholeOutputCase& c, std::ostream* out) {
  *out << c.name;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

const std::string FAILED_RUN_END =
    "****固件下载失败!\n   1.检查通讯接口以及连线是否正确;\n    2.MCU内有没有烧入IAP程序;\n"
    "    3.MCU有没有进入到IAP下载模式;\n";
const std::string RUN_START = "\n****开始通过串口接口进行IAP下载:\n1.读取下载文件内容>>\n";

const std::vector<WholeOutputCase>& WholeOutputCases() {
  static const std::vector<WholeOutputCase> cases = {
      {"SimulatedSuccess",
       {},
       {"--simulate"},
       0,
       "已查找到5个设备\n" + RUN_START +
           "  已读取下载数据4096字节\n2.打开下载接口>>\n    COM8打开成功\n3.开始更新FLASH>>\n"
           "  成功\n4.写FLASH>>\n....  成功\n5.下载检验>>\n....  成功\n6.下载结束>>\n"
           "  END结束\n7.关闭下载接口>>\n    已关闭。\n****固件下载成功.\n",
       ""},
      {"NeverFoundAgain",
       {},
       {"--device", "0", "--simulate=never-returns"},
       1,
       "已查找到1个设备\n" + RUN_START +
           "  已读取下载数据4096字节\n2.打开下载接口>>\n    COM5打开成功\n"
           "    开始切换至IAP模式\n................    失败.\n  下载失败\n7.关闭下载接口>>\n"
           "    下载接口未打开，无需关闭\n" +
           FAILED_RUN_END,
       ""},
      {"DeviceFault",
       {"status:verify:0x400:7"},
       {"--iap"},
       1,
       RUN_START +
           "  已读取下载数据4096字节\n2.打开下载接口>>\n    PORT打开成功\n3.开始更新FLASH>>\n"
           "  成功\n4.写FLASH>>\n....  成功\n5.下载检验>>\n.  [00000400]检验(7).\n  出错.\n"
           "  下载失败\n7.关闭下载接口>>\n    已关闭。\n" +
           FAILED_RUN_END,
       ""},
      {"TimeLimit",
       {"silent:prog:0x400"},
       {"--iap", "--timeout", "1"},
       1,
       RUN_START +
           "  已读取下载数据4096字节\n2.打开下载接口>>\n    PORT打开成功\n3.开始更新FLASH>>\n"
           "  成功\n4.写FLASH>>\n<dots>    串口读失败.\n  Read status failure.[400>32B].\n"
           "  失败.\n  下载失败\n7.关闭下载接口>>\n    已关闭。\n" +
           FAILED_RUN_END,
       "iapflash: the run was stopped at its time limit of 1 s\n"},
  };
  return cases;
}

class WholeOutput : public ::testing::TestWithParam<WholeOutputCase> {};

TEST_P(WholeOutput, OfOneDeviceStaysByteForByte) {
  const WholeOutputCase& c = GetParam();
  TempFolder folder;
  const auto file = folder.Path("image.bin");
  WriteUpdateFile(file, EveryValueImage(4096));
  std::optional<ServedDevice> served;
  std::vector<std::string> args = {"flash", file.string()};
  if (!c.faults.empty()) {
    served.emplace(SimWireTiming{}, c.faults);
    args.insert(args.end(), {"--port", served->Path()});
  }
  args.insert(args.end(), c.args.begin(), c.args.end());
  const ProgramResult run = RunIapflash(args);
  std::string out = run.out;
  if (served) out = Replaced(out, served->Path(), "PORT");
  out = WaitDotsAs(out, "3.开始更新FLASH>>", "");
  if (c.out.find("<dots>") != std::string::npos) out = WaitDotsAs(out, "4.写FLASH>>", "<dots>");
  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(out, c.out);
  EXPECT_EQ(run.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(CommandLine, WholeOutput, ::testing::ValuesIn(WholeOutputCases()),
                         [](const auto& test) { return std::string(test.param.name); });

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

  // Held open across the stop, the terminal keeps its number: no other test's new terminal can
  // take it, so a path still there is this one.
  const int held = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(held, 0) << std::strerror(errno);
  EXPECT_EQ(sim.Stop(SIGTERM), 0);
  EXPECT_FALSE(std::filesystem::exists(path)) << "the pseudo-terminal outlived its server";
  pollfd hungUp{held, POLLIN, 0};
  EXPECT_EQ(poll(&hungUp, 1, 0), 1);
  EXPECT_TRUE(hungUp.revents & POLLHUP) << "the server's end is still open";
  close(held);

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
