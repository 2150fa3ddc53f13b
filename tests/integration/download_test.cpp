// Whole downloads through the real binary and the termios backend into a device served on a
// pseudo-terminal: the good road, and each fault of the device at each step of the run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "fixtures.h"
#include "program_run.h"

namespace iapflash::testing {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

TEST(Download, EveryByteValueArrivesInTheDeviceUnchanged) {
  TempFolder folder;
  const auto image = EveryValueImage(10240);
  const auto file = folder.Path("every-value.bin");
  WriteUpdateFile(file, image);
  ServedDevice served(SimWireTiming{115200, 0, 0});

  const ProgramResult run = RunIapflash({"flash", file.string(), "--port", served.Path(), "--iap"});
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_THAT(run.err, IsEmpty()) << "no progress bar when stderr is not a terminal";
  EXPECT_EQ(run.out.find('\r'), std::string::npos) << "CR LF is written as LF";

  // The whole of stdout is the log, in the pane's words; only the start wait's dots vary.
  auto lines = Lines(run.out);
  ASSERT_GE(lines.size(), 8u) << run.out;
  EXPECT_TRUE(std::regex_match(lines[7], std::regex("\\.*  成功"))) << lines[7];
  lines[7] = "  成功";
  const std::string dots(10, '.');
  EXPECT_THAT(lines, ElementsAreArray(std::vector<std::string>{
                         "",
                         "****开始通过串口接口进行IAP下载:",
                         "1.读取下载文件内容>>",
                         "  已读取下载数据10240字节",
                         "2.打开下载接口>>",
                         "    " + served.Path() + "打开成功",
                         "3.开始更新FLASH>>",
                         "  成功",
                         "4.写FLASH>>",
                         dots + "  成功",
                         "5.下载检验>>",
                         dots + "  成功",
                         "6.下载结束>>",
                         "  END结束",
                         "7.关闭下载接口>>",
                         "    已关闭。",
                         "****固件下载成功.",
                     }));

  const auto memory = served.device->Memory();
  ASSERT_GE(memory.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()))
      << "device memory differs from the image";
  const auto start = served.device->LastStart();
  ASSERT_TRUE(start.has_value());
  EXPECT_EQ(start->dataLength, image.size());
  EXPECT_TRUE(Eventually([&] { return served.device->ResetReceived(); }))
      << "the reset written just before the program ended never reached the device";
}

TEST(Download, ALogReaderThatGoesAwayDoesNotStopTheDownload) {
  TempFolder folder;
  const auto image = EveryValueImage(2048);
  const auto file = folder.Path("image.bin");
  WriteUpdateFile(file, image);
  ServedDevice served;

  // The download goes on to its end; the exit status says that the log was lost.
  EXPECT_EQ(RunIapflashWithoutReader({"flash", file.string(), "--port", served.Path(), "--iap"}),
            1);
  EXPECT_TRUE(Eventually([&] { return served.device->ResetReceived(); }));
  const auto memory = served.device->Memory();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
}

TEST(Download, ProgressBarGoesToATerminalOnStderrAndLeavesStdoutAlone) {
  TempFolder folder;
  const auto file = folder.Path("image.bin");
  WriteUpdateFile(file, EveryValueImage(4096));
  ServedDevice served;

  const ProgramResult run =
      RunIapflash({"flash", file.string(), "--port", served.Path(), "--iap"}, 30000, true);
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_THAT(run.err, HasSubstr("100%"));
  EXPECT_THAT(run.err, HasSubstr("8192/8192 B"));
  EXPECT_THAT(run.out, HasSubstr("....  成功\n5.下载检验>>\n....  成功\n"));
  EXPECT_EQ(run.out.find('%'), std::string::npos) << "bar text leaked into stdout";
}

// One fault of the device, the lines the run must show for it (in this order, among others),
// and the time the run may take at most.
struct FaultCase {
  const char* name;
  const char* fault;
  std::vector<std::string> lines;  // patterns as InOrder takes them
  double maxSeconds;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
  *os << c.fault;
}

class DeviceFault : public ::testing::TestWithParam<FaultCase> {};

std::string CaseName(const ::testing::TestParamInfo<FaultCase>& param) {
  return param.param.name;
}

TEST_P(DeviceFault, EndsTheRunCleanlyWithTheRightLines) {
  const FaultCase& c = GetParam();
  TempFolder folder;
  const auto file = folder.Path("image.bin");
  WriteUpdateFile(file, EveryValueImage(2048));
  ServedDevice served({}, {c.fault});

  const ProgramResult run =
      RunIapflash({"flash", file.string(), "--port", served.Path(), "--iap"}, 30000);
  ASSERT_FALSE(run.timedOut) << run.out;
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_LT(run.seconds, c.maxSeconds) << run.out;

  std::vector<std::string> expected = c.lines;
  // Every failure ends the same way: the run's line, the port closed, the summary.
  for (const auto& line :
       std::vector<std::string>{"  下载失败", "7.关闭下载接口>>", "    已关闭。"}) {
    expected.push_back(line);
  }
  expected.insert(expected.end(), FAILURE_SUMMARY.begin(), FAILURE_SUMMARY.end());
  const auto lines = Lines(run.out);
  EXPECT_TRUE(InOrder(lines, expected)) << run.out;
  EXPECT_FALSE(served.device->ResetReceived());
}

const std::string SILENT_START = std::string(21, '.') + "  Read status failure.";

INSTANTIATE_TEST_SUITE_P(
    AtStart, DeviceFault,
    ::testing::Values(
        FaultCase{"Status",
                  "status:start:0x0A",
                  {"3.开始更新FLASH>>", "  命令执行错误.[A].", "  失败."},
                  5},
        // The start reply is awaited 21 x 500 ms; five bytes of six never complete it.
        FaultCase{"Silent", "silent:start", {"3.开始更新FLASH>>", SILENT_START, "  失败."}, 14},
        FaultCase{"ShortReply", "short:start", {"3.开始更新FLASH>>", SILENT_START, "  失败."}, 14},
        FaultCase{"WrongEcho",
                  "echo:start",
                  {"3.开始更新FLASH>>", "  Read status failure.", "  失败."},
                  5},
        FaultCase{"Garbage",
                  "garbage:start",
                  {"3.开始更新FLASH>>", "  Read status failure.", "  失败."},
                  5}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    AtProgram, DeviceFault,
    ::testing::Values(FaultCase{"Status",
                                "status:prog:0x400:0x0A",
                                {"4.写FLASH>>", "  [00000400]编程(A).", "  失败."},
                                5},
                      // A silent or short reply is read until the 8000 ms limit of a 6-byte read:
                      // the run ends after that wait and well before a second one (16 s), with
                      // room for a machine so busy that starting and closing take 5 s (11.0 s
                      // were seen under AddressSanitizer at load 11).
                      FaultCase{"Silent",
                                "silent:prog:0x400",
                                {"4.写FLASH>>", "    串口读操作返回长度错误(0-6-*",
                                 "  Read status failure.[400>32B].", "  失败."},
                                13},
                      FaultCase{"ShortReply",
                                "short:prog:0x400",
                                {"4.写FLASH>>", "    串口读操作返回长度错误(5-6-*",
                                 "  Read status failure.[400>32B].", "  失败."},
                                13},
                      FaultCase{"WrongEcho",
                                "echo:prog:0x400",
                                {"4.写FLASH>>", "  Read status failure.[400>32B].", "  失败."},
                                5},
                      FaultCase{"Garbage",
                                "garbage:prog:0x400",
                                {"4.写FLASH>>", "  Read status failure.[400>32B].", "  失败."},
                                5}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    AtVerify, DeviceFault,
    ::testing::Values(FaultCase{"Status",
                                "status:verify:0x400:0x0A",
                                {"5.下载检验>>", "  [00000400]检验(A).", "  出错."},
                                5},
                      FaultCase{"Silent",
                                "silent:verify:0x400",
                                {"5.下载检验>>", "    串口读操作返回长度错误(0-6-*",
                                 "  Read status failure.[400>32B].", "  出错."},
                                13},
                      FaultCase{"ShortReply",
                                "short:verify:0x400",
                                {"5.下载检验>>", "    串口读操作返回长度错误(5-6-*",
                                 "  Read status failure.[400>32B].", "  出错."},
                                13},
                      FaultCase{"WrongEcho",
                                "echo:verify:0x400",
                                {"5.下载检验>>", "  Read status failure.[400>32B].", "  出错."},
                                5},
                      FaultCase{"Garbage",
                                "garbage:verify:0x400",
                                {"5.下载检验>>", "  Read status failure.[400>32B].", "  出错."},
                                5}),
    CaseName);

// Faults the run rides out: a slow start reply within the 10 s wait, and a refused end after a
// good verify (the image is in; the outcome stays success).
TEST(Download, SlowStartAndRefusedEndStillSucceed) {
  TempFolder folder;
  const auto file = folder.Path("image.bin");
  WriteUpdateFile(file, EveryValueImage(2048));
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"slow-start:2600", {"3.开始更新FLASH>>", "  成功", "4.写FLASH>>"}},
      {"status:end:0x0B",
       {"6.下载结束>>", "  命令执行错误.[B].", "  END失败", "7.关闭下载接口>>", "    已关闭。"}},
  };
  for (const auto& [fault, expected] : cases) {
    ServedDevice served({}, {fault});
    const ProgramResult run =
        RunIapflash({"flash", file.string(), "--port", served.Path(), "--iap"});
    EXPECT_EQ(run.status, 0) << fault << "\n" << run.out;
    const auto lines = Lines(run.out);
    EXPECT_TRUE(InOrder(lines, expected)) << fault << "\n" << run.out;
    EXPECT_EQ(lines.back(), "****固件下载成功.") << fault;
    EXPECT_TRUE(Eventually([&] { return served.device->ResetReceived(); })) << fault;
    if (fault.starts_with("slow-start")) {
      // One dot per 500 ms of waiting: five or more for 2.6 s, far from the 21 of a give-up.
      EXPECT_TRUE(std::regex_search(run.out, std::regex(R"(\n\.{5,20}  成功\n4\.)"))) << run.out;
    }
  }
}

TEST(Download, DeviceVanishingMidRunFailsAtOnceAndClosesThePort) {
  TempFolder folder;
  const auto file = folder.Path("image.bin");
  WriteUpdateFile(file, EveryValueImage(2048));
  // 17 bytes of start frame, then 41 per program frame: gone in the middle of the program pass.
  ServedDevice served({}, {"disconnect:1000"});

  const ProgramResult run =
      RunIapflash({"flash", file.string(), "--port", served.Path(), "--iap"}, 30000);
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_LT(run.seconds, 5) << "a vanished port must fail, not wait out its time limits";
  EXPECT_TRUE(served.server->HungUp());
  const auto lines = Lines(run.out);
  std::vector<std::string> expected = {"4.写FLASH>>", "  失败.", "  下载失败", "7.关闭下载接口>>",
                                       "    已关闭。"};
  expected.insert(expected.end(), FAILURE_SUMMARY.begin(), FAILURE_SUMMARY.end());
  EXPECT_TRUE(InOrder(lines, expected)) << run.out;
  // The link says which call met the vanished device: a failed write or a failed read.
  EXPECT_TRUE(InOrder(lines, {"    串口写失败"}) || InOrder(lines, {"    串口读失败."})) << run.out;
}

}  // namespace
}  // namespace iapflash::testing
