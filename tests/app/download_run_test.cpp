#include "app/download_run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>
#include <thread>

#include "image/update_file.h"
#include "link_fixture.h"

namespace iapflash {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::OnePortDevice;
using testing::RecordingEvents;
using testing::RecordingPanel;
using testing::SimStationTest;

const std::vector<std::string> FAILURE_SUMMARY = {
    "****固件下载失败!", "   1.检查通讯接口以及连线是否正确;", "    2.MCU内有没有烧入IAP程序;",
    "    3.MCU有没有进入到IAP下载模式;"};

// A station whose list holds sim7, selected.
class DownloadRunTest : public SimStationTest {
 protected:
  DownloadRunTest() {
    station.devices = {sim7};
    panel.Select(0);
  }
  ~DownloadRunTest() override {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }

  // Writes an update file holding image as its raw payload and names it in the path control.
  void UseUpdateFile(const std::vector<uint8_t>& image) {
    std::ofstream file(path_, std::ios::binary | std::ios::trunc);
    std::vector<char> header(UPDATE_HEADER_SIZE, 0);
    std::memcpy(header.data(), "IAP_UPDATA_FILE", 15);
    file.write(header.data(), static_cast<std::streamsize>(header.size()));
    file.write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    ASSERT_TRUE(file.good());
    panel.SetPath(path_.string());
  }

  // The log lines from "3.开始更新FLASH>>" on.
  std::vector<std::string> LinesFromStart() const {
    const auto lines = panel.Lines();
    const auto start = std::find(lines.begin(), lines.end(), "3.开始更新FLASH>>");
    return {start, lines.end()};
  }

  std::vector<uint8_t> Pattern(uint32_t length) {
    std::vector<uint8_t> image(length);
    for (uint32_t i = 0; i < length; ++i) image[i] = static_cast<uint8_t>(i * 37 + i / 256);
    return image;
  }

  RunFinished Run() { return DownloadRunAt(station, events); }

  Station station{ports, tree, clock, panel};
  const std::filesystem::path path_ =
      std::filesystem::path(::testing::TempDir()) /
      ("download_run_" + std::to_string(std::random_device{}()) + "_" +
       ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".bin");
};

TEST_F(DownloadRunTest, SmallImageRunsEverySevenSteps) {
  UseUpdateFile({1, 2, 3, 4, 5, 6, 7, 0xFF});
  EXPECT_EQ(Run(), (RunFinished{true, RunStep::ReadFile, FailureLayer::None}));
  EXPECT_THAT(panel.Lines(),
              ElementsAre("", "****开始通过串口接口进行IAP下载:", "1.读取下载文件内容>>",
                          "  已读取下载数据8字节", "2.打开下载接口>>", "    SIM7打开成功",
                          "3.开始更新FLASH>>", "  成功", "4.写FLASH>>", "  成功", "5.下载检验>>",
                          "  成功", "6.下载结束>>", "  END结束", "7.关闭下载接口>>", "    已关闭。",
                          "****固件下载成功."));
  EXPECT_EQ(device->LastStart()->dataLength, 8u);
  EXPECT_EQ(device->LastStart()->checksum, 283u);
  EXPECT_TRUE(device->ResetReceived());
  EXPECT_FALSE(ports.Record("SIM7").open);
  using E = RunEvent;
  EXPECT_THAT(
      events.Events(),
      ElementsAre(E{StepStarted{RunStep::ReadFile}}, E{StepEnded{RunStep::ReadFile, true}},
                  E{StepStarted{RunStep::OpenLink}}, E{PortOpened{"SIM7", PortRole::Download}},
                  E{StepEnded{RunStep::OpenLink, true}}, E{StepStarted{RunStep::Start}},
                  E{StepEnded{RunStep::Start, true}}, E{StepStarted{RunStep::Program}},
                  E{PassProgress{ImagePass::Program, 0, 8}},
                  E{PassProgress{ImagePass::Program, 8, 8}}, E{StepEnded{RunStep::Program, true}},
                  E{StepStarted{RunStep::Verify}}, E{PassProgress{ImagePass::Verify, 0, 8}},
                  E{PassProgress{ImagePass::Verify, 8, 8}}, E{StepEnded{RunStep::Verify, true}},
                  E{StepStarted{RunStep::End}}, E{StepEnded{RunStep::End, true}},
                  E{StepStarted{RunStep::CloseLink}}, E{StepEnded{RunStep::CloseLink, true}},
                  E{RunFinished{true, RunStep::ReadFile, FailureLayer::None}}));
}

TEST_F(DownloadRunTest, FullImageOfEveryByteValueLandsInTheDevice) {
  const auto image = Pattern(MAX_IMAGE_SIZE);
  UseUpdateFile(image);
  EXPECT_TRUE(Run().success);
  const auto memory = device->Memory();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
  EXPECT_EQ(device->LastStart()->checksum, std::accumulate(image.begin(), image.end(), 0u));
  // A hundred dots for each pass, each completed by its step's result.
  const std::string dots(100, '.');
  EXPECT_THAT(LinesFromStart(),
              ElementsAre("3.开始更新FLASH>>", "  成功", "4.写FLASH>>", dots + "  成功",
                          "5.下载检验>>", dots + "  成功", "6.下载结束>>", "  END结束",
                          "7.关闭下载接口>>", "    已关闭。", "****固件下载成功."));
}

struct StepFailure {
  const char* fault;
  std::vector<std::string> lines;  // from step 3 on
  RunFinished result;              // its failure line without the dots of waits before it
};

TEST_F(DownloadRunTest, FailuresAreReportedInThreeLayers) {
  const std::string dots(21, '.');
  auto tail = [](std::vector<std::string> lines) {
    lines.insert(lines.end(), {"  下载失败", "7.关闭下载接口>>", "    已关闭。"});
    lines.insert(lines.end(), FAILURE_SUMMARY.begin(), FAILURE_SUMMARY.end());
    return lines;
  };
  const StepFailure cases[] = {
      {"silent:start",
       tail({"3.开始更新FLASH>>", dots + "  Read status failure.", "  失败."}),
       {false, RunStep::Start, FailureLayer::Link, "Read status failure."}},
      {"status:prog:0x400:0x0A",
       tail({"3.开始更新FLASH>>", "  成功", "4.写FLASH>>", ".  [00000400]编程(A).", "  失败."}),
       {false, RunStep::Program, FailureLayer::Device, "[00000400]编程(A)."}},
      {"echo:prog:0x20",
       tail({"3.开始更新FLASH>>", "  成功", "4.写FLASH>>", "  Read status failure.[20>32B].",
             "  失败."}),
       {false, RunStep::Program, FailureLayer::Link, "Read status failure.[20>32B]."}},
      {"status:verify:0x20:0x0B",
       tail({"3.开始更新FLASH>>", "  成功", "4.写FLASH>>", "..  成功", "5.下载检验>>",
             "  [00000020]检验(B).", "  出错."}),
       {false, RunStep::Verify, FailureLayer::Device, "[00000020]检验(B)."}},
  };
  const auto image = Pattern(2048);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    device = std::make_shared<SimDevice>();
    ports.Attach("SIM7", device);
    Fault(c.fault);
    UseUpdateFile(image);
    panel.ClearLog();
    events.Clear();
    EXPECT_EQ(Run(), c.result);
    EXPECT_THAT(LinesFromStart(), ElementsAreArray(c.lines));
    EXPECT_EQ(events.Of<StepEnded>().back(), (StepEnded{RunStep::CloseLink, true}));
    EXPECT_EQ(events.Of<StepEnded>().end()[-2], (StepEnded{c.result.failedStep, false}));
    EXPECT_FALSE(device->ResetReceived());
    EXPECT_FALSE(ports.Record("SIM7").open);
  }
}

TEST_F(DownloadRunTest, EndRefusedAfterAGoodVerifyIsStillASuccess) {
  Fault("status:end:0x07");
  UseUpdateFile(Pattern(64));
  EXPECT_TRUE(Run().success);
  EXPECT_THAT(events.Of<StepEnded>().end()[-2], (StepEnded{RunStep::End, false}));
  EXPECT_THAT(LinesFromStart(),
              ElementsAre("3.开始更新FLASH>>", "  成功", "4.写FLASH>>", "  成功", "5.下载检验>>",
                          "  成功", "6.下载结束>>", "  命令执行错误.[7].", "  END失败",
                          "7.关闭下载接口>>", "    已关闭。", "****固件下载成功."));
  EXPECT_TRUE(device->ResetReceived()) << "the reset is sent whatever the end said";
}

TEST_F(DownloadRunTest, UnreadableFileOpensNoPort) {
  panel.SetPath(path_.string());  // never written
  EXPECT_EQ(Run(), (RunFinished{false, RunStep::ReadFile, FailureLayer::Image,
                                "无法打开下载文件" + path_.string()}));
  const auto lines = panel.Lines();
  const auto step1 = std::find(lines.begin(), lines.end(), "1.读取下载文件内容>>");
  ASSERT_NE(step1, lines.end());
  std::vector<std::string> expected = {"  读下载文件失败", "  下载失败", "7.关闭下载接口>>",
                                       "    下载接口未打开，无需关闭"};
  expected.insert(expected.end(), FAILURE_SUMMARY.begin(), FAILURE_SUMMARY.end());
  // The loader's own lines come between step 1 and the run's.
  ASSERT_GT(lines.end() - step1, static_cast<std::ptrdiff_t>(expected.size() + 1));
  EXPECT_THAT(std::vector<std::string>(lines.end() - static_cast<std::ptrdiff_t>(expected.size()),
                                       lines.end()),
              ElementsAreArray(expected));
  EXPECT_EQ(ports.Record("SIM7").opens, 0u);
  EXPECT_FALSE(std::filesystem::exists(path_)) << "a missing file is not created";
}

// The start command erases the device's application: a file that loads as an image of length 0
// (a HEX payload of nothing but its end record) must never get that far.
TEST_F(DownloadRunTest, EmptyImageIsRefusedBeforeTheLinkOpens) {
  const std::filesystem::path hex = path_.string() + ".hex";
  {
    std::ofstream file(hex, std::ios::binary | std::ios::trunc);
    std::string header(UPDATE_HEADER_SIZE, '\0');
    header.replace(0, 15, "IAP_UPDATA_FILE");
    file << header << ":00000001FF\r\n";
  }
  panel.SetPath(hex.string());
  EXPECT_EQ(Run(),
            (RunFinished{false, RunStep::ReadFile, FailureLayer::Image, "HEX格式转换成BIN格式."}));
  std::filesystem::remove(hex);
  std::vector<std::string> expected = {"",
                                       "****开始通过串口接口进行IAP下载:",
                                       "1.读取下载文件内容>>",
                                       "    HEX格式转换成BIN格式.",
                                       "    下载文件中没有数据",
                                       "  读下载文件失败",
                                       "  下载失败",
                                       "7.关闭下载接口>>",
                                       "    下载接口未打开，无需关闭"};
  expected.insert(expected.end(), FAILURE_SUMMARY.begin(), FAILURE_SUMMARY.end());
  EXPECT_THAT(panel.Lines(), ElementsAreArray(expected));
  EXPECT_EQ(ports.Record("SIM7").opens, 0u);
  EXPECT_TRUE(device->Commands().empty());
}

TEST_F(DownloadRunTest, NoValidSelectionOpensNothing) {
  UseUpdateFile(Pattern(8));
  std::vector<std::string> expected = {"2.打开下载接口>>", "    没有选择下载设备", "  下载失败",
                                       "7.关闭下载接口>>", "    下载接口未打开，无需关闭"};
  expected.insert(expected.end(), FAILURE_SUMMARY.begin(), FAILURE_SUMMARY.end());
  // An index the list does not hold counts as no selection.
  for (const int selected : {-1, 1, 15, 16, 1000}) {
    SCOPED_TRACE(selected);
    panel.ClearLog();
    panel.Select(selected);
    EXPECT_EQ(Run(),
              (RunFinished{false, RunStep::OpenLink, FailureLayer::Selection, "没有选择下载设备"}));
    const auto lines = panel.Lines();
    EXPECT_THAT(std::vector<std::string>(lines.begin() + 4, lines.end()),
                ElementsAreArray(expected));
  }
  EXPECT_EQ(ports.Record("SIM7").opens, 0u);
}

TEST_F(DownloadRunTest, PortThatWillNotOpenFailsStepTwo) {
  UseUpdateFile(Pattern(8));
  station.devices[0] = OnePortDevice("SIM9", true);
  EXPECT_EQ(Run(), (RunFinished{false, RunStep::OpenLink, FailureLayer::Port, "SIM9打开失败"}));
  station.devices[0] = OnePortDevice("APP3", false);
  EXPECT_EQ(Run(),
            (RunFinished{false, RunStep::OpenLink, FailureLayer::ModeSwitch, "APP3打开失败"}));
}

// Asks for the path and the device as a window would, noting how much of the log stood then.
class WatchingInputs final : public RunInputs {
 public:
  WatchingInputs(RecordingPanel& log, std::string path, DeviceEntry device)
      : log_(log), path_(std::move(path)), device_(device) {}
  std::string FilePath() override {
    pathAskedAfter = log_.Lines().back();
    return path_;
  }
  std::optional<DeviceEntry> Device() override {
    deviceAskedAfter = log_.Lines().back();
    return device_;
  }
  std::string pathAskedAfter;
  std::string deviceAskedAfter;

 private:
  RecordingPanel& log_;
  std::string path_;
  DeviceEntry device_;
};

TEST_F(DownloadRunTest, PathAndDeviceAreAskedForAtTheirSteps) {
  UseUpdateFile(Pattern(8));
  WatchingInputs inputs(panel, path_.string(), sim7);
  RunContext run{env, inputs};
  EXPECT_TRUE(DownloadRun(run).success);
  EXPECT_EQ(inputs.pathAskedAfter, "1.读取下载文件内容>>");
  EXPECT_EQ(inputs.deviceAskedAfter, "2.打开下载接口>>");
}

// Runs side by side, each with its own context, log and events, reach their own devices.
TEST_F(DownloadRunTest, RunsSideBySideKeepTheirOwnLogsAndEvents) {
  constexpr int RUNS = 4;
  const auto image = Pattern(3000);
  UseUpdateFile(image);
  struct Lane {
    std::shared_ptr<SimDevice> device = std::make_shared<SimDevice>();
    RecordingPanel log;
    RecordingEvents events;
    RunFinished result{};
  };
  std::vector<Lane> lanes(RUNS);
  std::vector<std::thread> threads;
  for (int k = 0; k < RUNS; ++k) ports.Attach("LANE" + std::to_string(k), lanes[k].device);
  for (int k = 0; k < RUNS; ++k) {
    const std::string name = "LANE" + std::to_string(k);
    threads.emplace_back([&, k, name] {
      Lane& lane = lanes[k];
      FixedRunInputs inputs(path_.string(), OnePortDevice(name, true));
      RunContext run{{ports, tree, clock, lane.log, lane.events}, inputs};
      lane.result = DownloadRun(run);
    });
  }
  for (auto& thread : threads) thread.join();
  for (int k = 0; k < RUNS; ++k) {
    SCOPED_TRACE(k);
    const Lane& lane = lanes[k];
    EXPECT_TRUE(lane.result.success) << lane.log.Log();
    EXPECT_EQ(lane.log.Lines()[5], "    LANE" + std::to_string(k) + "打开成功");
    EXPECT_EQ(lane.log.Lines().back(), "****固件下载成功.");
    EXPECT_EQ(lane.events.Of<PortOpened>(),
              (std::vector<PortOpened>{{"LANE" + std::to_string(k), PortRole::Download}}));
    const auto memory = lane.device->Memory();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
  }
}

}  // namespace
}  // namespace iapflash
