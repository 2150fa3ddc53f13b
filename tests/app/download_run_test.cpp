#include "link/download_run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>

#include "image/update_file.h"
#include "link_fixture.h"

namespace iapflash {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::SimStationTest;

const std::vector<std::string> FAILURE_SUMMARY = {
    "****固件下载失败!", "   1.检查通讯接口以及连线是否正确;", "    2.MCU内有没有烧入IAP程序;",
    "    3.MCU有没有进入到IAP下载模式;"};

class DownloadRunTest : public SimStationTest {
 protected:
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

  const std::filesystem::path path_ =
      std::filesystem::path(::testing::TempDir()) /
      ("download_run_" + std::to_string(std::random_device{}()) + "_" +
       ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".bin");
};

TEST_F(DownloadRunTest, SmallImageRunsEverySevenSteps) {
  UseUpdateFile({1, 2, 3, 4, 5, 6, 7, 0xFF});
  EXPECT_TRUE(DownloadRun(station));
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
  EXPECT_THAT(panel.ButtonStates(), ElementsAre(false, true));
  EXPECT_EQ(panel.PostedScans(), 0) << "the run itself asks for no rescan";
}

TEST_F(DownloadRunTest, FullImageOfEveryByteValueLandsInTheDevice) {
  const auto image = Pattern(MAX_IMAGE_SIZE);
  UseUpdateFile(image);
  EXPECT_TRUE(DownloadRun(station));
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
};

TEST_F(DownloadRunTest, FailuresAreReportedInThreeLayers) {
  const std::string dots(21, '.');
  auto tail = [](std::vector<std::string> lines) {
    lines.insert(lines.end(), {"  下载失败", "7.关闭下载接口>>", "    已关闭。"});
    lines.insert(lines.end(), FAILURE_SUMMARY.begin(), FAILURE_SUMMARY.end());
    return lines;
  };
  const StepFailure cases[] = {
      {"silent:start", tail({"3.开始更新FLASH>>", dots + "  Read status failure.", "  失败."})},
      {"status:prog:0x400:0x0A",
       tail({"3.开始更新FLASH>>", "  成功", "4.写FLASH>>", ".  [00000400]编程(A).", "  失败."})},
      {"status:verify:0x20:0x0B", tail({"3.开始更新FLASH>>", "  成功", "4.写FLASH>>", "..  成功",
                                        "5.下载检验>>", "  [00000020]检验(B).", "  出错."})},
  };
  const auto image = Pattern(2048);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    device = std::make_shared<SimDevice>();
    ports.Attach("SIM7", device);
    Fault(c.fault);
    UseUpdateFile(image);
    panel.ClearLog();
    EXPECT_FALSE(DownloadRun(station));
    EXPECT_THAT(LinesFromStart(), ElementsAreArray(c.lines));
    EXPECT_FALSE(device->ResetReceived());
    EXPECT_FALSE(ports.Record("SIM7").open);
  }
}

TEST_F(DownloadRunTest, EndRefusedAfterAGoodVerifyIsStillASuccess) {
  Fault("status:end:0x07");
  UseUpdateFile(Pattern(64));
  EXPECT_TRUE(DownloadRun(station));
  EXPECT_THAT(LinesFromStart(),
              ElementsAre("3.开始更新FLASH>>", "  成功", "4.写FLASH>>", "  成功", "5.下载检验>>",
                          "  成功", "6.下载结束>>", "  命令执行错误.[7].", "  END失败",
                          "7.关闭下载接口>>", "    已关闭。", "****固件下载成功."));
  EXPECT_TRUE(device->ResetReceived()) << "the reset is sent whatever the end said";
}

TEST_F(DownloadRunTest, UnreadableFileOpensNoPort) {
  panel.SetPath(path_.string());  // never written
  EXPECT_FALSE(DownloadRun(station));
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
  EXPECT_THAT(panel.ButtonStates(), ElementsAre(false, true));
}

TEST_F(DownloadRunTest, NoDeviceSelected) {
  UseUpdateFile(Pattern(8));
  panel.Select(-1);
  EXPECT_FALSE(DownloadRun(station));
  std::vector<std::string> expected = {"2.打开下载接口>>", "    没有选择下载设备", "  下载失败",
                                       "7.关闭下载接口>>", "    下载接口未打开，无需关闭"};
  expected.insert(expected.end(), FAILURE_SUMMARY.begin(), FAILURE_SUMMARY.end());
  const auto lines = panel.Lines();
  EXPECT_THAT(std::vector<std::string>(lines.begin() + 4, lines.end()), ElementsAreArray(expected));
}

TEST_F(DownloadRunTest, ThreadAsksForARescanASecondAfterEveryRun) {
  for (const bool good : {true, false}) {
    if (good)
      UseUpdateFile(Pattern(8));
    else
      panel.SetPath("");
    const int scansBefore = panel.PostedScans();
    DownloadThread(station);
    EXPECT_EQ(clock.Sleeps().back(), 1000u);
    EXPECT_EQ(panel.PostedScans(), scansBefore + 1);
    EXPECT_EQ(panel.ButtonStates().back(), true);
  }
}

}  // namespace
}  // namespace iapflash
