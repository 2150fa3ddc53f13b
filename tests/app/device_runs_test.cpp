// Several downloads at once: each device's own lines and events, a failing device that never
// stops the others, and the line that says why a device failed.
#include "app/device_runs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

#include "image/update_file.h"
#include "sim/sim_bus.h"
#include "temp_folder.h"
#include "virtual_clock.h"

namespace iapflash {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Keeps what each device reported, and checks the order of its calls as they come.
class Recorder final : public DeviceRunsReport {
 public:
  void OnText(std::size_t position, std::string_view text) override {
    std::lock_guard lock(mutex_);
    EXPECT_FALSE(done_.count(position)) << "text after the run ended";
    texts_[position].append(text);
  }
  void OnLine(std::size_t position, std::string_view line) override {
    std::lock_guard lock(mutex_);
    EXPECT_FALSE(done_.count(position)) << "a line after the run ended";
    lines_[position].emplace_back(line);
  }
  void OnEvent(std::size_t position, const RunEvent& event) override {
    std::lock_guard lock(mutex_);
    EXPECT_FALSE(done_.count(position)) << "an event after the run ended";
    events_[position].push_back(event);
  }
  void OnDone(std::size_t position, const DeviceOutcome& outcome) override {
    std::lock_guard lock(mutex_);
    EXPECT_TRUE(done_.emplace(position, outcome).second) << "a run ended twice";
    ASSERT_FALSE(events_[position].empty());
    EXPECT_EQ(std::get<RunFinished>(events_[position].back()), outcome.finished);
  }
  std::vector<std::string> Lines(std::size_t position) {
    std::lock_guard lock(mutex_);
    return lines_[position];
  }
  std::vector<RunEvent> Events(std::size_t position) {
    std::lock_guard lock(mutex_);
    return events_[position];
  }
  std::string Text(std::size_t position) {
    std::lock_guard lock(mutex_);
    return texts_[position];
  }
  bool Done(std::size_t position) {
    std::lock_guard lock(mutex_);
    return done_.count(position) > 0;
  }

 private:
  std::mutex mutex_;
  std::map<std::size_t, std::string> texts_;
  std::map<std::size_t, std::vector<std::string>> lines_;
  std::map<std::size_t, std::vector<RunEvent>> events_;
  std::map<std::size_t, DeviceOutcome> done_;
};

SimUsbDevice Application(const std::string& port, int slot, SimAppBehaviour behaviour,
                         const std::string& bootPort) {
  SimUsbDevice device;
  device.ports = {port};
  device.location = "Port_#000" + std::to_string(slot) + ".Hub_#0001";
  device.behaviour = behaviour;
  device.bootPort = bootPort;
  return device;
}

SimUsbDevice BootProgram(const std::string& port, int slot) {
  SimUsbDevice device;
  device.role = SimRole::BootProgram;
  device.ports = {port};
  device.location = "Port_#000" + std::to_string(slot) + ".Hub_#0001";
  return device;
}

DeviceEntry Found(const SimUsbDevice& device) {
  DeviceEntry entry;
  entry.ports.push_back(PortEntry{.portName = device.ports.front()});
  entry.inIapMode = device.role == SimRole::BootProgram;
  entry.locationInfo = device.location;
  return entry;
}

class DeviceRunsTest : public ::testing::Test {
 protected:
  void WriteImage(const std::vector<uint8_t>& image) {
    std::ofstream file(path, std::ios::binary);
    std::vector<char> header(UPDATE_HEADER_SIZE, 0);
    std::memcpy(header.data(), "IAP_UPDATA_FILE", 15);
    file.write(header.data(), static_cast<std::streamsize>(header.size()));
    file.write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
  }

  testing::VirtualClock clock;
  testing::TempFolder folder;
  const std::string path = folder.Path("image.bin").string();
  Recorder report;
};

TEST_F(DeviceRunsTest, AFailingDeviceNeverStopsTheOthersAndSaysWhy) {
  std::vector<uint8_t> image(3000);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + i / 251);
  WriteImage(image);
  const std::vector<SimUsbDevice> devices = {
      Application("COM5", 1, SimAppBehaviour::Switches, "COM15"),
      Application("COM6", 2, SimAppBehaviour::Silent, "COM16"),
      Application("COM7", 3, SimAppBehaviour::NeverReturns, "COM17"),
      BootProgram("COM8", 4),
      BootProgram("COM10", 5),
      Application("COM11", 6, SimAppBehaviour::Switches, "COM21"),
  };
  std::vector<SimUsbDevice> onBus = devices;
  onBus.push_back(Application("COM12", 7, SimAppBehaviour::WrongReply, "COM22"));
  const auto bus = MakeSimulatedBus(onBus, clock);
  ASSERT_NE(bus, nullptr);
  bus->BootProgram("COM8")->AddFault(*ParseSimFault("status:verify:0x400:7"));

  std::vector<DeviceJob> jobs;
  for (const SimUsbDevice& device : devices) jobs.push_back({device.ports[0], Found(device)});
  DeviceEntry missing;
  missing.ports.push_back(PortEntry{.portName = "./COM99"});
  missing.inIapMode = true;
  jobs.push_back({"./COM99", missing});
  // Answers something else, then is looked for at a place where it never comes back.
  const SimUsbDevice wrong = Application("COM12", 7, SimAppBehaviour::WrongReply, "COM22");
  DeviceEntry elsewhere = Found(wrong);
  elsewhere.locationInfo = "Port_#0009.Hub_#0009";
  jobs.push_back({"COM12", elsewhere});

  const auto outcomes = RunDevices({bus->Ports(), bus->Tree(), clock}, path, jobs, report);
  ASSERT_EQ(outcomes.size(), jobs.size());

  struct Expected {
    bool success;
    RunStep failedStep;
    std::string failureLine;
  };
  const std::vector<Expected> expected = {
      {true, RunStep::ReadFile, ""},
      {false, RunStep::OpenLink, "设备无响应1:"},
      // The search that finds nothing logs nothing of its own: the opener's line is the first.
      {false, RunStep::OpenLink, "失败."},
      {false, RunStep::Verify, "[00000400]检验(7)."},
      {true, RunStep::ReadFile, ""},
      {true, RunStep::ReadFile, ""},
      {false, RunStep::OpenLink, "./COM99打开失败"},
      // The switch's warning about the reply is no failure: the search's is.
      {false, RunStep::OpenLink, "失败."},
  };
  for (std::size_t k = 0; k < jobs.size(); ++k) {
    SCOPED_TRACE(jobs[k].port);
    EXPECT_EQ(outcomes[k].finished.success, expected[k].success);
    if (!expected[k].success) {
      EXPECT_EQ(outcomes[k].finished.failedStep, expected[k].failedStep);
    }
    EXPECT_EQ(outcomes[k].finished.failureLine, expected[k].failureLine);
    EXPECT_EQ(outcomes[k].FailureLine(), expected[k].failureLine);
    const auto lines = report.Lines(k);
    // The raw text is the lines as the run wrote them.
    std::string joined;
    for (const std::string& line : lines) joined += line + "\r\n";
    EXPECT_EQ(report.Text(k), joined);
    ASSERT_GE(lines.size(), 5u);
    // The device's own log, whole lines in the run's order.
    EXPECT_EQ(lines[1], "****开始通过串口接口进行IAP下载:");
    EXPECT_EQ(lines[4], "2.打开下载接口>>");
    EXPECT_EQ(lines.back(),
              expected[k].success ? "****固件下载成功." : "    3.MCU有没有进入到IAP下载模式;");
  }
  // Each found its own boot program again by its location, and got the whole image.
  for (const char* bootPort : {"COM15", "COM10", "COM21"}) {
    SCOPED_TRACE(bootPort);
    const auto device = bus->BootProgram(bootPort);
    ASSERT_NE(device, nullptr);
    const auto memory = device->Memory();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
  }
  EXPECT_THAT(report.Lines(0), ::testing::Contains("    COM15打开成功"));
  EXPECT_THAT(report.Lines(5), ::testing::Contains("    COM21打开成功"));
}

TEST_F(DeviceRunsTest, AFileThatCannotBeReadFailsEveryDeviceWithTheLoadersLine) {
  const auto bus = MakeSimulatedBus({BootProgram("COM8", 1), BootProgram("COM9", 2)}, clock);
  ASSERT_NE(bus, nullptr);
  const std::vector<DeviceJob> jobs = {{"COM8", Found(BootProgram("COM8", 1))},
                                       {"COM9", std::nullopt}};
  const auto outcomes = RunDevices({bus->Ports(), bus->Tree(), clock},
                                   folder.Path("absent.bin").string(), jobs, report);
  for (std::size_t k = 0; k < jobs.size(); ++k) {
    EXPECT_FALSE(outcomes[k].finished.success);
    EXPECT_EQ(outcomes[k].finished.layer, FailureLayer::Image);
    EXPECT_EQ(outcomes[k].FailureLine(), "无法打开下载文件" + folder.Path("absent.bin").string());
  }
  EXPECT_TRUE(bus->BootProgram("COM8")->Commands().empty());
}

TEST_F(DeviceRunsTest, ARunStoppedFromOutsideSaysSoLastAndThatIsItsFailure) {
  WriteImage(std::vector<uint8_t>(64, 0x5A));
  const auto bus = MakeSimulatedBus({BootProgram("COM8", 1)}, clock);
  ASSERT_NE(bus, nullptr);
  DeviceEntry missing;
  missing.ports.push_back(PortEntry{.portName = "COM99"});
  missing.inIapMode = true;
  const std::vector<DeviceJob> jobs = {{"COM8", Found(BootProgram("COM8", 1))}, {"COM99", missing}};
  DeviceRunLimits limits;
  limits.interruption = [] { return std::string("SIGTERM"); };
  const auto outcomes = RunDevices({bus->Ports(), bus->Tree(), clock}, path, jobs, report, limits);
  EXPECT_TRUE(outcomes[0].finished.success);
  EXPECT_FALSE(outcomes[0].interrupted) << "a run that succeeded was not stopped";
  EXPECT_EQ(report.Lines(0).back(), "****固件下载成功.");
  EXPECT_TRUE(outcomes[1].interrupted);
  EXPECT_FALSE(outcomes[1].timedOut);
  EXPECT_EQ(outcomes[1].stopLine, "iapflash: the run was interrupted by SIGTERM");
  EXPECT_EQ(outcomes[1].FailureLine(), "iapflash: the run was interrupted by SIGTERM");
  EXPECT_EQ(outcomes[1].finished.failureLine, "COM99打开失败") << "the step's own line is kept";
  EXPECT_EQ(report.Lines(1).back(), "    3.MCU有没有进入到IAP下载模式;")
      << "the stop line is the report's to say";
  EXPECT_TRUE(AnyInterrupted(outcomes));
  EXPECT_EQ(InterruptionLine("SIGINT", 2), "iapflash: the runs were interrupted by SIGINT");
}

// One job on the caller's thread, as a station runs its boards one by one.
TEST_F(DeviceRunsTest, OneJobRunsOnItsOwn) {
  WriteImage(std::vector<uint8_t>(2048, 0xA5));
  const auto bus = MakeSimulatedBus({BootProgram("COM8", 1)}, clock);
  ASSERT_NE(bus, nullptr);
  const DeviceOutcome outcome = RunOne({bus->Ports(), bus->Tree(), clock}, path,
                                       {"COM8", Found(BootProgram("COM8", 1))}, 3, report);
  EXPECT_TRUE(outcome.finished.success);
  EXPECT_EQ(outcome.FailureLine(), "");
  EXPECT_TRUE(report.Done(3));
  EXPECT_EQ(report.Lines(3).back(), "****固件下载成功.");
  const auto memory = bus->BootProgram("COM8")->Memory();
  EXPECT_TRUE(
      std::all_of(memory.begin(), memory.begin() + 2048, [](uint8_t b) { return b == 0xA5; }));
}

TEST(DeviceRuns, NoJobsIsNoRun) {
  testing::VirtualClock clock;
  const auto bus = MakeSimulatedBus(std::vector<SimUsbDevice>{}, clock);
  Recorder report;
  EXPECT_THAT(RunDevices({bus->Ports(), bus->Tree(), clock}, "x.bin", {}, report), IsEmpty());
}

TEST(WholeLines, CutsAtLineEndsAndKeepsTheRest) {
  WholeLines lines;
  std::vector<std::string> got;
  const auto keep = [&](std::string_view line) { got.emplace_back(line); };
  lines.Append("..", keep);
  lines.Append(".  成功\r\n4.写FLASH>>\r\n", keep);
  lines.Append("a\nb\r\n\r\nc", keep);
  EXPECT_THAT(got, ElementsAre("...  成功", "4.写FLASH>>", "a", "b", ""));
  EXPECT_EQ(lines.TakeRest(), "c");
  EXPECT_EQ(lines.TakeRest(), "");
}

}  // namespace
}  // namespace iapflash
