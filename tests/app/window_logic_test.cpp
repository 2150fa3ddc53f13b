#include "app/window_logic.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "sim/sim_device.h"
#include "sim/sim_serial_port.h"
#include "virtual_clock.h"

namespace iapflash {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::VirtualClock;

// A window that records what the logic does to it and checks that it is touched only on its
// own thread (the test's thread).
class FakeFront final : public WindowFront {
 public:
  void ShowError(const std::string& text) override {
    Touch();
    boxes.push_back(text);
  }
  bool ChooseUpdateFile(std::string& chosen) override {
    Touch();
    if (dialogAnswer.empty()) return false;
    chosen = dialogAnswer;
    return true;
  }
  std::string FilePathText() override {
    Touch();
    return path;
  }
  void SetFilePathText(const std::string& text) override {
    Touch();
    path = text;
  }
  void AppendLogText(std::string_view text) override {
    Touch();
    log.append(text);
  }
  void ClearLogText() override {
    Touch();
    log.clear();
  }
  int SelectedDeviceLine() override {
    Touch();
    return selected;
  }
  void SetDeviceLines(const std::vector<std::string>& lines, int selection) override {
    Touch();
    deviceLines = lines;
    selected = selection;
  }
  void SetDownloadEnabled(bool enabled) override {
    Touch();
    downloadEnabled = enabled;
    buttonStates.push_back(enabled);
  }
  void WakeWindowThread() override {
    {
      std::lock_guard lock(wakeMutex_);
      ++wakes_;
    }
    woken_.notify_all();
  }
  void EndProgram() override {
    Touch();
    ++programEnds;
  }

  // Blocks until a wake-up arrives that is newer than the last one seen (bounded, so a fault
  // fails the test instead of hanging it).
  bool WaitForWake() {
    std::unique_lock lock(wakeMutex_);
    const bool woke =
        woken_.wait_for(lock, std::chrono::seconds(20), [&] { return wakes_ != seenWakes_; });
    seenWakes_ = wakes_;
    return woke;
  }

  // Set by tests, read by the logic.
  int selected = -1;
  std::string path;
  std::string dialogAnswer;  // empty: the operator cancels

  std::vector<std::string> boxes;
  std::string log;
  std::vector<std::string> deviceLines;
  bool downloadEnabled = true;
  std::vector<bool> buttonStates;
  int programEnds = 0;
  std::atomic<int> offThreadCalls{0};

 private:
  void Touch() {
    if (std::this_thread::get_id() != owner_) ++offThreadCalls;
  }
  const std::thread::id owner_ = std::this_thread::get_id();
  std::mutex wakeMutex_;
  std::condition_variable woken_;
  int wakes_ = 0;
  int seenWakes_ = 0;
};

// A one-shot gate between the test and a worker.
class Latch {
 public:
  void Open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    opened_.notify_all();
  }
  void Wait() {
    std::unique_lock lock(mutex_);
    opened_.wait(lock, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

class NoPorts final : public SerialPorts {
 public:
  std::unique_ptr<SerialPort> Open(const std::string&, SystemError& error) override {
    error = 2;
    return nullptr;
  }
};

class NoTree final : public DeviceTree {
 public:
  std::unique_ptr<DeviceSet> Present(DeviceClass) override { return nullptr; }
  bool Parent(DevInst, DevInst&) override { return false; }
  bool InstanceId(DevInst, std::string&) override { return false; }
  bool NodeProperty(DevInst, DeviceProperty, std::string&) override { return false; }
};

void Discard(const std::string&) {}

class WindowLogicTest : public ::testing::Test {
 protected:
  void SetUp() override { SetDiagnosticSink(&Discard); }
  void TearDown() override {
    logic.reset();
    EXPECT_EQ(front.offThreadCalls.load(), 0) << "the window was touched from another thread";
    SetDiagnosticSink(nullptr);
  }

  // Builds the logic with a scan that shows `devices` lines and the given worker body.
  void Build(
      std::function<void(Station&)> download = [](Station&) {}, int devices = 2) {
    WindowActions actions;
    actions.scan = [this, devices](Station& station) {
      ++scans;
      std::vector<std::string> lines;
      for (int k = 0; k < devices; ++k) lines.push_back(" Port" + std::to_string(k) + ">> ");
      station.panel.ShowDevices(lines, devices - 1);
      return static_cast<uint8_t>(devices);
    };
    actions.download = std::move(download);
    actions.fileExists = [this](const std::string& file) { return file == existingFile; };
    logic = std::make_unique<WindowLogic>(front, ports, tree, clock, std::move(actions));
  }

  // Runs the window's thread until pred holds.
  void PumpUntil(const std::function<bool()>& pred) {
    for (;;) {
      logic->RunPendingCalls();
      if (pred()) return;
      ASSERT_TRUE(front.WaitForWake()) << "the window's thread was never woken";
    }
  }

  FakeFront front;
  NoPorts ports;
  NoTree tree;
  VirtualClock clock;
  std::string existingFile = "/fw/app.bin";
  int scans = 0;
  std::unique_ptr<WindowLogic> logic;
};

TEST_F(WindowLogicTest, FirstScanRunsOnceTheWindowThreadIsIdle) {
  Build();
  logic->Start();
  EXPECT_EQ(scans, 0) << "posted, not run inside Start";
  PumpUntil([&] { return scans == 1; });
  EXPECT_THAT(front.deviceLines, ElementsAre(" Port0>> ", " Port1>> "));
  EXPECT_EQ(front.selected, 1);
}

struct DownloadCheck {
  const char* name;
  int selected;
  const char* path;
  std::vector<std::string> boxes;
  std::string log;
  bool starts;
};

TEST_F(WindowLogicTest, DownloadChecksInTheirOrder) {
  const DownloadCheck checks[] = {
      {"no device, no path",
       -1,
       "",
       {NO_DEVICE_TEXT},
       "请先选择下载设备或者当前没有找到下载设备.\r\n",
       false},
      {"no device, good path",
       -1,
       "/fw/app.bin",
       {NO_DEVICE_TEXT},
       "请先选择下载设备或者当前没有找到下载设备.\r\n",
       false},
      {"empty path", 0, "", {NO_FILE_TEXT}, "下载失败!请先选择下载文件\r\n", false},
      {"missing file", 1, "/fw/gone.bin", {FILE_MISSING_TEXT}, "", false},
      {"all good", 1, "/fw/app.bin", {}, "", true},
  };
  for (const DownloadCheck& check : checks) {
    SCOPED_TRACE(check.name);
    std::atomic<int> runs{0};
    Build([&](Station&) { ++runs; });
    front.boxes.clear();
    front.log.clear();
    front.buttonStates.clear();
    front.selected = check.selected;
    front.path = check.path;

    logic->Download();
    EXPECT_EQ(front.boxes, check.boxes);
    EXPECT_EQ(front.log, check.log);
    EXPECT_EQ(logic->DownloadRunning(), check.starts);
    PumpUntil([&] { return !logic->DownloadRunning(); });
    EXPECT_EQ(runs.load(), check.starts ? 1 : 0);
    const std::vector<bool> expectedButton =
        check.starts ? std::vector<bool>{false, true} : std::vector<bool>{};
    EXPECT_EQ(front.buttonStates, expectedButton);
    logic.reset();
  }
}

TEST_F(WindowLogicTest, BrowsePutsTheChosenPathOrLogsTheCancel) {
  Build();
  front.path = "/old.bin";
  logic->Browse();
  EXPECT_EQ(front.path, "/old.bin");
  EXPECT_EQ(front.log, "选择发送文件出错\r\n");

  front.dialogAnswer = "/fw/新固件.BIN";
  logic->Browse();
  EXPECT_EQ(front.path, "/fw/新固件.BIN");
  EXPECT_EQ(front.log, "选择发送文件出错\r\n");
}

TEST_F(WindowLogicTest, ClearLogEmptiesThePane) {
  Build();
  front.log = "已查找到2个设备\r\n..";
  logic->ClearLog();
  EXPECT_THAT(front.log, IsEmpty());
}

// The worker's calls reach the window on the window's thread, and each returns only once it has
// been carried out there; the button is disabled before the worker runs and enabled only after
// the worker has ended, even though the run asks for it earlier.
TEST_F(WindowLogicTest, WorkerTalksToTheWindowSynchronouslyOnItsThread) {
  std::vector<bool> buttonSeenByWorker;
  std::string logSeenByWorker;
  int selectedSeenByWorker = -2;
  std::string pathSeenByWorker;
  std::atomic<bool> tailReached{false};
  Latch tailGo;
  Build([&](Station& station) {
    buttonSeenByWorker.push_back(front.downloadEnabled);
    station.panel.AppendLog("1.读取下载文件内容>>\r\n");
    logSeenByWorker = front.log;
    selectedSeenByWorker = station.panel.SelectedDevice();
    pathSeenByWorker = station.panel.FilePath();
    tailReached = true;
    front.WakeWindowThread();  // lets PumpUntil look again
    tailGo.Wait();
  });
  front.selected = 1;
  front.path = existingFile;
  logic->Download();

  PumpUntil([&] { return tailReached.load(); });
  EXPECT_THAT(buttonSeenByWorker, ElementsAre(false));
  logic->RunPendingCalls();
  EXPECT_FALSE(front.downloadEnabled) << "enabled while the worker still runs";
  EXPECT_TRUE(logic->DownloadRunning());

  logic->Download();  // a click that slipped through starts nothing
  tailGo.Open();
  PumpUntil([&] { return !logic->DownloadRunning(); });
  EXPECT_EQ(logSeenByWorker, "1.读取下载文件内容>>\r\n");
  EXPECT_EQ(selectedSeenByWorker, 1);
  EXPECT_EQ(pathSeenByWorker, existingFile);
  EXPECT_THAT(front.buttonStates, ElementsAre(false, true));
}

// A scan asked for during a download (by the operator or by the worker after the run) waits for
// the worker's end and then runs once; the worker's rescan follows its 1000 ms wait.
TEST_F(WindowLogicTest, ScansWaitForTheDownloadAndRunAfterIt) {
  Latch clicked;
  Build([&](Station&) { clicked.Wait(); });
  const uint64_t startMs = clock.NowMs();
  front.selected = 1;
  front.path = existingFile;
  logic->Download();

  logic->FindDevices();
  EXPECT_EQ(scans, 0) << "a scan ran beside the download";
  clicked.Open();
  PumpUntil([&] { return !logic->DownloadRunning(); });
  EXPECT_EQ(scans, 1);
  EXPECT_EQ(clock.NowMs() - startMs, 1000u);

  logic->FindDevices();
  EXPECT_EQ(scans, 2) << "idle again: scans run at once";
}

TEST_F(WindowLogicTest, RescanAfterEveryRunRefillsTheList) {
  int devices = 0;
  WindowActions actions;
  actions.scan = [&](Station& station) {
    ++scans;
    station.panel.ShowDevices(std::vector<std::string>(devices, "IAP Port0>> P0:ttyACM0,"),
                              devices - 1);
    return static_cast<uint8_t>(devices);
  };
  actions.download = [](Station&) {};
  actions.fileExists = [](const std::string&) { return true; };
  logic = std::make_unique<WindowLogic>(front, ports, tree, clock, std::move(actions));
  logic->Start();
  PumpUntil([&] { return scans == 1; });
  EXPECT_EQ(front.selected, -1);

  for (int run = 1; run <= 2; ++run) {
    devices = run;
    front.selected = 0;
    front.path = "/fw/a.bin";
    logic->Download();
    PumpUntil([&] { return !logic->DownloadRunning() && scans == run + 1; });
    EXPECT_EQ(front.deviceLines.size(), static_cast<std::size_t>(run));
    EXPECT_EQ(front.selected, run - 1);
  }
}

// Closing while the worker waits for the window (which no longer handles calls) must not hang:
// the wait is abandoned, waits are cut short and ports refuse to open.
TEST_F(WindowLogicTest, ClosingDuringADownloadEndsTheWorkerPromptly) {
  Latch appendQueued;
  std::atomic<bool> portOpened{true};
  std::atomic<bool> appendReturned{false};
  Build([&](Station& station) {
    appendQueued.Open();
    station.panel.AppendLog("4.写FLASH>>\r\n");  // never carried out: the window is closing
    appendReturned = true;
    station.clock.SleepMs(1000);
    SystemError error = 0;
    portOpened = station.ports.Open("ttyACM0", error) != nullptr;
  });
  front.selected = 0;
  front.path = existingFile;
  logic->Download();
  appendQueued.Wait();

  logic->Close();
  EXPECT_EQ(front.programEnds, 1);
  logic.reset();  // joins the worker
  EXPECT_TRUE(appendReturned.load());
  EXPECT_FALSE(portOpened.load());
  EXPECT_THAT(clock.Sleeps(), IsEmpty());
  EXPECT_EQ(front.log, "");
  EXPECT_EQ(scans, 0);
}

TEST_F(WindowLogicTest, WaitsOfTheRunPassThroughWhileTheWindowIsOpen) {
  Build([](Station& station) { station.clock.SleepMs(1234); });
  front.selected = 0;
  front.path = existingFile;
  logic->Download();
  PumpUntil([&] { return !logic->DownloadRunning(); });
  const auto sleeps = clock.Sleeps();
  EXPECT_EQ(std::accumulate(sleeps.begin(), sleeps.end(), 0u), 1234u + RESCAN_DELAY_MS);
}

// A port the run holds open when the window closes refuses every operation from then on, so the
// run ends at its next port call; the run's link still closes it.
TEST_F(WindowLogicTest, PortOpenWhenTheWindowClosesRefusesItsOperations) {
  testing::VirtualClock portClock;
  SimSerialPorts simPorts(portClock);
  auto device = std::make_shared<SimDevice>();
  simPorts.Attach("SIM7", device);
  Latch opened;
  Latch closed;
  std::atomic<bool> writeFailed{false};
  std::atomic<uint32_t> writeError{0};
  std::atomic<bool> secondOpenRefused{false};
  WindowActions actions;
  actions.scan = [](Station&) { return uint8_t{0}; };
  actions.download = [&](Station& station) {
    SystemError error = 0;
    auto port = station.ports.Open("SIM7", error);
    opened.Open();
    closed.Wait();
    if (!port) return;
    const uint8_t byte = 0x57;
    const IoResult written = port->Write(&byte, 1);
    writeFailed = !written.ok;
    writeError = written.error;
    secondOpenRefused = station.ports.Open("SIM8", error) == nullptr;
  };
  actions.fileExists = [](const std::string&) { return true; };
  logic = std::make_unique<WindowLogic>(front, simPorts, tree, clock, std::move(actions));
  front.selected = 0;
  front.path = existingFile;
  logic->Download();
  opened.Wait();
  ASSERT_TRUE(simPorts.Record("SIM7").open) << "the run holds the port";
  logic->Close();
  closed.Open();
  logic.reset();  // joins the worker
  EXPECT_TRUE(writeFailed.load());
  EXPECT_EQ(writeError.load(), CancelledError());
  EXPECT_TRUE(secondOpenRefused.load());
  EXPECT_EQ(device->BytesReceived(), 0u) << "nothing reached the device after the close";
  EXPECT_FALSE(simPorts.Record("SIM7").open);
}

TEST(WindowArguments, TakeAFileAndTheSimulationAndNothingElse) {
  struct Case {
    std::vector<std::string> arguments;
    bool accepted;
    std::optional<std::string> scenario;
    std::optional<std::string> file;
  };
  const Case cases[] = {
      {{}, true, std::nullopt, std::nullopt},
      {{"/home/op/固件/版本一.bin"}, true, std::nullopt, "/home/op/固件/版本一.bin"},
      {{"--simulate", "a.bin"}, true, "demo", "a.bin"},
      {{"a.bin", "--simulate=crowded"}, true, "crowded", "a.bin"},
      {{"a.bin", "b.bin"}, false, std::nullopt, std::nullopt},
      {{"--port", "a.bin"}, false, std::nullopt, std::nullopt},
      {{"-h"}, false, std::nullopt, std::nullopt},
      {{""}, false, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    WindowArguments parsed;
    const bool accepted = ParseWindowArguments(c.arguments, parsed);
    EXPECT_EQ(accepted, c.accepted) << ::testing::PrintToString(c.arguments);
    if (!accepted) continue;
    EXPECT_EQ(parsed.scenario, c.scenario);
    EXPECT_EQ(parsed.file, c.file);
  }
}

}  // namespace
}  // namespace iapflash
