// The command line against what a careless or hostile world hands it: closed standard streams,
// signals in the middle of a read, a terminal's settings, a device that sends escape sequences,
// a regular file named as the port.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "fixtures.h"
#include "link/mode_switch.h"
#include "program_run.h"
#include "users_terminal.h"

namespace iapflash::testing {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

using Steady = std::chrono::steady_clock;

// Started without stdin, stdout or stderr, the next open would take that number: the serial port
// would become stdout (the log going down the line) or stderr (the progress bar with it).
TEST(Hostile, ClosedStandardStreamsNeverBecomeThePort) {
  TempFolder folder;
  const auto file = folder.Path("image.bin");
  const auto image = EveryValueImage(4096);
  WriteUpdateFile(file, image);
  const std::vector<std::vector<int>> cases = {{0}, {1}, {2}, {0, 1, 2}};
  for (const auto& closed : cases) {
    SCOPED_TRACE(::testing::PrintToString(closed));
    ServedDevice served;
    EXPECT_EQ(RunIapflashWithClosedStreams(
                  {"flash", file.string(), "--port", served.Path(), "--iap"}, closed),
              0);
    const auto memory = served.device->Memory();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
  }
}

// After success, after a device fault and after a refused open, the port's settings are as the
// user had them and the tty is no longer exclusive.
TEST(Hostile, PortIsGivenBackAsItWasFound) {
  TempFolder folder;
  const auto file = folder.Path("image.bin");
  WriteUpdateFile(file, EveryValueImage(2048));
  for (const char* fault : {"", "status:prog:0x400:0x0A", "garbage:verify"}) {
    SCOPED_TRACE(fault);
    ServedDevice served({}, *fault ? std::vector<std::string>{fault} : std::vector<std::string>{});
    const UsersTerminal terminal(served.Path());
    const ProgramResult run =
        RunIapflash({"flash", file.string(), "--port", served.Path(), "--iap"});
    EXPECT_EQ(run.status, *fault ? 1 : 0) << run.out;
    EXPECT_TRUE(terminal.AsFound()) << run.out;
  }
}

struct Interruption {
  int signal;
  int status;
  const char* name;
};

// A stable name in the test's listing (ctest keeps each test's cost by its name).
void PrintTo(const Interruption& c, std::ostream* out) {
  *out << c.name;
}

class Interrupted : public ::testing::TestWithParam<Interruption> {};

// A signal in the middle of a reply's read (which may wait 8 s) ends the run at once through its
// own close: the log ends as a failed run's does, the port is given back, stderr says why, and
// the exit status tells the signal. The next run opens the port as if nothing had happened.
TEST_P(Interrupted, EndsTheRunPromptlyAndGivesThePortBack) {
  const Interruption c = GetParam();
  TempFolder folder;
  const auto file = folder.Path("image.bin");
  const auto image = EveryValueImage(4096);
  WriteUpdateFile(file, image);
  ServedDevice served({}, {"silent:prog:0x400"});
  const UsersTerminal terminal(served.Path());

  BackgroundIapflash run({"flash", file.string(), "--port", served.Path(), "--iap"});
  // Lines up to the program step (the first of them is empty).
  std::string line;
  std::string out;
  for (int i = 0; i < 10 && line != "4.写FLASH>>"; ++i) out += (line = run.ReadLine(10000)) + "\n";
  ASSERT_EQ(line, "4.写FLASH>>");
  // The unanswered command has reached the device: the program now waits for its reply.
  ASSERT_TRUE(Eventually([&] {
    const auto commands = served.device->Commands();
    return std::count_if(commands.begin(), commands.end(),
                         [](const auto& command) { return command.offset == 0x400u; }) > 0;
  }));

  const auto sent = Steady::now();
  const int status = run.Stop(c.signal);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - sent).count();
  EXPECT_EQ(status, c.status);
  EXPECT_LT(ms, SIGNAL_ENDS_RUN_WITHIN_MS);
  // The whole log, byte for byte, but for the dots of waits, as many as real time allowed.
  out += run.RestOfOut();
  out = WaitDotsAs(WaitDotsAs(out, "3.开始更新FLASH>>", ""), "4.写FLASH>>", "<dots>");
  EXPECT_EQ(out,
            "\n****开始通过串口接口进行IAP下载:\n1.读取下载文件内容>>\n  已读取下载数据4096字节\n"
            "2.打开下载接口>>\n    " +
                served.Path() +
                "打开成功\n3.开始更新FLASH>>\n  成功\n4.写FLASH>>\n<dots>    串口读失败.\n"
                "  Read status failure.[400>32B].\n  失败.\n  下载失败\n7.关闭下载接口>>\n"
                "    已关闭。\n****固件下载失败!\n   1.检查通讯接口以及连线是否正确;\n"
                "    2.MCU内有没有烧入IAP程序;\n    3.MCU有没有进入到IAP下载模式;\n");
  EXPECT_EQ(run.Err(), std::string("iapflash: the run was interrupted by ") + c.name + "\n");
  EXPECT_TRUE(terminal.AsFound());

  const ProgramResult again =
      RunIapflash({"flash", file.string(), "--port", served.Path(), "--iap"});
  EXPECT_EQ(again.status, 0) << again.out;
  const auto memory = served.device->Memory();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
  EXPECT_TRUE(terminal.AsFound());
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted,
                         ::testing::Values(Interruption{SIGINT, 130, "SIGINT"},
                                           Interruption{SIGTERM, 143, "SIGTERM"},
                                           Interruption{SIGHUP, 129, "SIGHUP"}),
                         [](const auto& param) { return std::string(param.param.name).substr(3); });

// Output that cannot be written (a full disk, a reader gone) is reported on stderr and makes the
// status 1; the downloads already under way finish and give their ports back.
struct BrokenOutput {
  const char* name;
  std::string stdoutPath;  // empty: a pipe whose reader is gone
  bool json;
  int error;
};

void PrintTo(const BrokenOutput& c, std::ostream* out) {
  *out << c.name;
}

class OutputNotWritten : public ::testing::TestWithParam<BrokenOutput> {};

TEST_P(OutputNotWritten, IsReportedAndTheDownloadsFinish) {
  const BrokenOutput c = GetParam();
  TempFolder folder;
  const auto file = folder.Path("image.bin");
  const auto image = EveryValueImage(4096);
  WriteUpdateFile(file, image);
  ServedDevice first;
  ServedDevice second;
  const UsersTerminal firstTerminal(first.Path());
  const UsersTerminal secondTerminal(second.Path());
  std::vector<std::string> args = {"flash",  file.string(), "--port", first.Path(),
                                   "--port", second.Path(), "--iap"};
  if (c.json) args.push_back("--json");
  const ProgramResult run = RunIapflashWithStdoutBroken(args, c.stdoutPath);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            std::string("iapflash: cannot write to stdout: ") + std::strerror(c.error) + "\n");
  for (const ServedDevice* served : {&first, &second}) {
    EXPECT_TRUE(Eventually([&] { return served->device->ResetReceived(); }));
    const auto memory = served->device->Memory();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
  }
  EXPECT_TRUE(firstTerminal.AsFound());
  EXPECT_TRUE(secondTerminal.AsFound());
}

INSTANTIATE_TEST_SUITE_P(Hostile, OutputNotWritten,
                         ::testing::Values(BrokenOutput{"FullDisk", "/dev/full", false, ENOSPC},
                                           BrokenOutput{"FullDiskJson", "/dev/full", true, ENOSPC},
                                           BrokenOutput{"ReaderGone", "", false, EPIPE},
                                           BrokenOutput{"ReaderGoneJson", "", true, EPIPE}),
                         [](const auto& test) { return std::string(test.param.name); });

// A reader that stalls (a pipe nobody reads, a terminal stopped with Ctrl+S) never holds the
// devices: all eight finish their downloads while nothing is read, and a signal then ends the
// command promptly, saying what was not written.
class StalledReader : public ::testing::TestWithParam<bool> {};

TEST_P(StalledReader, NeverHoldsTheDevices) {
  TempFolder folder;
  const auto file = folder.Path("image.bin");
  const auto image = EveryValueImage(8192);
  WriteUpdateFile(file, image);
  std::vector<std::unique_ptr<ServedDevice>> devices;
  std::vector<std::string> args = {"flash", file.string(), "--iap", "--timeout", "30"};
  for (int k = 0; k < 8; ++k) {
    devices.push_back(std::make_unique<ServedDevice>());
    args.insert(args.end(), {"--port", devices.back()->Path()});
  }
  if (GetParam()) args.push_back("--json");
  BackgroundIapflash run(args, 4096);
  EXPECT_TRUE(Eventually(
      [&] {
        return std::all_of(devices.begin(), devices.end(),
                           [](const auto& served) { return served->device->ResetReceived(); });
      },
      20000));
  for (const auto& served : devices) {
    SCOPED_TRACE(served->Path());
    const auto memory = served->device->Memory();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
  }
  const auto sent = Steady::now();
  EXPECT_EQ(run.Stop(SIGINT), 130);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - sent).count();
  EXPECT_LT(ms, 1500);
  EXPECT_THAT(run.Err(),
              HasSubstr("iapflash: the rest of the output was not written: stdout is not read\n"));
}

INSTANTIATE_TEST_SUITE_P(Hostile, StalledReader, ::testing::Bool(),
                         [](const auto& test) { return test.param ? "Json" : "Text"; });

// A device that answers the mode-switch request with escape sequences: its text is logged, but
// what reaches the terminal shows the control characters escaped.
TEST(Hostile, TextFromADeviceNeverDrivesTheTerminal) {
  TempFolder folder;
  const auto file = folder.Path("image.bin");
  WriteUpdateFile(file, EveryValueImage(64));
  int master = -1;
  int slave = -1;
  char name[128] = {};
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  termios raw{};
  tcgetattr(master, &raw);
  cfmakeraw(&raw);
  tcsetattr(master, TCSANOW, &raw);

  const std::string reply = "\x1b]0;owned\x07\x1b[2J";  // as long as the expected reply
  ASSERT_EQ(reply.size(), IAP_MODE_REPLY.size());
  std::thread device([&] {
    std::string request;
    while (request.size() < IAP_MODE_REQUEST.size()) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) return;
      char buffer[64];
      const ssize_t got = read(master, buffer, sizeof buffer);
      if (got <= 0) return;
      request.append(buffer, static_cast<std::size_t>(got));
    }
    (void)!write(master, reply.data(), reply.size());
  });
  const ProgramResult run = RunIapflash({"flash", file.string(), "--port", name});
  device.join();
  close(slave);
  close(master);

  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_THAT(Lines(run.out), Contains(".    设备无响应2:\\x1B]0;owned\\x07\\x1B[2J"));
  EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(run.out.find('\x07'), std::string::npos);
}

// A regular file named as the port is no serial device: refused at open, never written.
TEST(Hostile, RegularFileAsThePortIsRefusedAndLeftUnchanged) {
  TempFolder folder;
  const auto file = folder.Path("image.bin");
  WriteUpdateFile(file, EveryValueImage(64));
  const auto victim = folder.Path("app.bin");
  const std::string content(1000, 'v');
  std::ofstream(victim, std::ios::binary) << content;

  const ProgramResult run =
      RunIapflash({"flash", file.string(), "--port", victim.string(), "--iap"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(Lines(run.out), Contains("    " + victim.string() + "打开失败"));
  EXPECT_THAT(Lines(run.out),
              Contains(std::string("打开串口::Last Err(19)") + std::strerror(ENOTTY)));
  EXPECT_THAT(run.out, Not(HasSubstr("打开成功")));
  std::ifstream in(victim, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content);
}

}  // namespace
}  // namespace iapflash::testing
