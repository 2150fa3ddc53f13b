// A station's runs over the simulated bus in real time (the runs are threads of their own, as in
// the command), kept to a few seconds: each board stays plugged in well after its run.
#include "station/station_run.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>

#include "platform/cancel_switch.h"
#include "sim/sim_bus.h"
#include "sim/sim_fault.h"
#include "virtual_clock.h"

namespace iapflash {
namespace {

// What the station told, kept as short texts.
class Told final : public StationReport {
 public:
  void OnLine(std::size_t, std::string_view) override {}
  void OnEvent(std::size_t, const RunEvent&) override {}
  void OnDone(std::size_t position, const DeviceOutcome& outcome) override {
    said.push_back("done" + std::to_string(position) + (outcome.finished.success ? "+" : "-"));
  }
  void OnSlot(const Slot& slot) override { said.push_back("slot" + std::to_string(slot.position)); }
  void OnArrived(const Slot& slot, bool) override {
    said.push_back("arrived" + std::to_string(slot.position) + "#" + std::to_string(slot.board));
  }
  void OnLeft(const Slot& slot, uint64_t board, bool) override {
    said.push_back("left" + std::to_string(slot.position) + "#" + std::to_string(board));
  }
  void OnTallies(const Tallies& tallies) override { last = tallies; }
  void OnRecordFailed(SystemError) override { said.push_back("record failed"); }
  std::vector<std::string> said;
  Tallies last;
};

class Kept final : public RecordFile {
 public:
  bool Append(std::string_view text, SystemError&) override {
    lines.emplace_back(text);
    return true;
  }
  std::vector<std::string> lines;
};

// The sample image for boards on `bus`, seen through `cancel`; a batch of `count` runs.
StationSetup DemoSetup(CancelSwitch& cancel, SimulatedBus& bus, std::optional<uint64_t> count) {
  return {{cancel.Ports(), bus.Tree(), cancel.GetClock()},
          std::string(SAMPLES_DIR) + "/demo_app.bin",
          {"demo_app.bin", 2048, 0x407C5},
          {},
          count,
          {}};
}

SimUsbDevice Board(int number, int place, uint64_t arrivesAtMs, uint64_t leavesAtMs) {
  SimUsbDevice board;
  board.ports = {"COM" + std::to_string(20 + number)};
  board.bootPort = "COM" + std::to_string(40 + number);
  board.location = "Port_#000" + std::to_string(place) + ".Hub_#0001";
  board.serial = "B" + std::to_string(number);
  board.returnDelayMs = 100;
  board.arrivesAtMs = arrivesAtMs;
  board.leavesAtMs = leavesAtMs;
  board.boot = std::make_shared<SimDevice>();
  return board;
}

std::size_t StartCommands(const SimDevice& device) {
  std::size_t starts = 0;
  for (const SimCommandRecord& command : device.Commands()) {
    starts += command.code == SIM_CODE_START ? 1 : 0;
  }
  return starts;
}

TEST(StationRun, EachBoardGetsOneStartWhileItStaysAndTheRecordsMatchTheTallies) {
  // Two places; each board stays about a second after its run. The second board at place 1
  // already runs its boot program; the one at place 2 fails its verify.
  std::vector<SimUsbDevice> boards{Board(1, 1, 0, 1500), Board(2, 2, 0, 1500),
                                   Board(3, 1, 2000, 3500)};
  boards[1].bootFaults = {SimFault{.kind = SimFaultKind::Status,
                                   .code = SIM_CODE_VERIFY,
                                   .offset = std::nullopt,
                                   .status = SIM_STATUS_VERIFY_MISMATCH}};
  boards[2].role = SimRole::BootProgram;
  boards[2].ports = {"COM60"};
  auto bus = MakeSimulatedBus(boards, SystemClock());
  ASSERT_NE(bus, nullptr);
  CancelSwitch cancel(bus->Ports(), SystemClock());
  StationSetup setup = DemoSetup(cancel, *bus, 3);
  DeviceBoardWatch watch(bus->Tree());
  ClockHotplugWatch hotplug(cancel.GetClock());
  Told told;
  Kept records;
  StationRun station(
      setup, watch, hotplug, told, &records, [] { return false; },
      [] { return std::chrono::system_clock::now(); });
  const Tallies tallies = station.Run();

  for (const SimUsbDevice& board : boards) {
    EXPECT_EQ(StartCommands(*board.boot), 1u) << board.serial;
  }
  EXPECT_EQ(tallies.passed, 2u);
  EXPECT_EQ(tallies.failed, 1u);
  EXPECT_EQ(tallies.inProgress, 0u);
  ASSERT_EQ(records.lines.size(), 3u);
  std::map<std::string, std::string> results;
  for (const std::string& line : records.lines) {
    const auto record = nlohmann::json::parse(line);
    results[record["serial"]] = record["result"];
  }
  EXPECT_EQ(results, (std::map<std::string, std::string>{
                         {"B1", "success"}, {"B2", "failure"}, {"B3", "success"}}));
  // Board 3 came into place 1 only after board 1 had left it.
  const auto at = [&](const std::string& text) {
    return std::find(told.said.begin(), told.said.end(), text) - told.said.begin();
  };
  EXPECT_LT(at("left0#1"), at("arrived0#3"));
  EXPECT_LT(at("arrived0#3"), static_cast<long>(told.said.size()));
}

// One --port slot whose board is swapped for one with another serial number as soon as its
// run has ended; the station's waits are counted, not slept: a wait while a run goes on lasts
// until that run has ended.
class SwappedSlot final : public BoardWatch, public HotplugWatch, public StationReport {
 public:
  std::vector<BoardSighting> Look(const std::function<bool(const std::string&)>& inUse) override {
    const bool running = inUse("P");  // asked under the station's lock, never under ours
    std::lock_guard lock(mutex_);
    waitedBeforeLook.push_back(waited_);
    waited_ = 0;
    BoardSighting board;
    board.key = board.port = "P";
    board.iap = true;
    if (!running) board.serial = ended_ == 0 ? "A" : "B";  // swapped as its result came
    return {board};
  }
  bool Wait(uint32_t ms) override {
    std::unique_lock lock(mutex_);
    waited_ += ms;
    const uint64_t ended = ended_;
    if (running_) changed_.wait_for(lock, std::chrono::seconds(10), [&] { return ended_ > ended; });
    return false;
  }
  void OnArrived(const Slot&, bool runs) override {
    std::lock_guard lock(mutex_);
    running_ = runs;
  }
  void OnTallies(const Tallies& tallies) override {
    std::lock_guard lock(mutex_);
    if (tallies.inProgress == 0 && running_) {
      running_ = false;
      ++ended_;
      changed_.notify_all();
    }
  }
  void OnSlot(const Slot&) override {}
  void OnLeft(const Slot&, uint64_t, bool) override {}
  void OnRecordFailed(SystemError) override {}
  void OnEvent(std::size_t, const RunEvent&) override {}
  void OnDone(std::size_t, const DeviceOutcome&) override {}

  std::vector<uint32_t> waitedBeforeLook;  // ms the station waited before each look

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool running_ = false;
  uint64_t ended_ = 0;
  uint32_t waited_ = 0;
};

TEST(StationRun, LooksAgainAsSoonAsARunEndsSoASwappedBoardStartsAtOnce) {
  testing::VirtualClock clock;
  auto bus = MakeSimulatedBus(std::vector<SimUsbDevice>{}, clock);
  ASSERT_NE(bus, nullptr);
  // No board answers at P: each run fails at once, which is all this is about.
  StationSetup setup{{bus->Ports(), bus->Tree(), clock},
                     std::string(SAMPLES_DIR) + "/demo_app.bin",
                     {"demo_app.bin", 2048, 0x407C5},
                     {},
                     2,
                     {"P"}};
  SwappedSlot slot;
  StationRun station(
      setup, slot, slot, slot, nullptr, [] { return false; },
      [] { return std::chrono::system_clock::now(); });
  const Tallies tallies = station.Run();

  EXPECT_EQ(tallies.failed, 2u);
  // The look that takes board B (the second) and the one that sees the batch end: each within
  // a short wait of the run's end, not a whole look interval later.
  ASSERT_EQ(slot.waitedBeforeLook.size(), 3u);
  EXPECT_LT(slot.waitedBeforeLook[1], STATION_LOOK_INTERVAL_MS);
  EXPECT_LT(slot.waitedBeforeLook[2], STATION_LOOK_INTERVAL_MS);
}

TEST(StationRun, AStopEndsTheRunsInProgressThroughTheirOwnPath) {
  // An application that never answers: its run waits in the mode switch until the stop.
  SimUsbDevice board = Board(1, 1, 0, 60000);
  board.behaviour = SimAppBehaviour::Silent;
  auto bus = MakeSimulatedBus({board}, SystemClock());
  CancelSwitch cancel(bus->Ports(), SystemClock());
  StationSetup setup = DemoSetup(cancel, *bus, std::nullopt);
  setup.limits = {std::nullopt, [&cancel] { return cancel.Cancelled() ? "SIGINT" : ""; }};
  DeviceBoardWatch watch(bus->Tree());
  ClockHotplugWatch hotplug(cancel.GetClock());
  Told told;
  Kept records;
  std::atomic<int> looks{0};
  StationRun station(
      setup, watch, hotplug, told, &records,
      [&] {
        // The stop comes on the third look, while the board's run waits for its answer.
        if (++looks == 3) cancel.Cancel();
        return cancel.Cancelled();
      },
      [] { return std::chrono::system_clock::now(); });
  const Tallies tallies = station.Run();
  EXPECT_EQ(tallies.interrupted, 1u);
  EXPECT_EQ(tallies.inProgress, 0u);
  ASSERT_EQ(records.lines.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(records.lines[0])["result"], "interrupted");
}

// A disk whose flush takes long: the first record is held until the runs' report has seen every
// run end, or for 20 s at most.
class SlowDisk final : public RecordFile {
 public:
  explicit SlowDisk(std::size_t runs) : runs_(runs) {}
  bool Append(std::string_view text, SystemError&) override {
    std::unique_lock lock(mutex_);
    if (lines.empty()) {
      heldUntilAllEnded =
          changed_.wait_for(lock, std::chrono::seconds(20), [this] { return ended_ == runs_; });
    }
    lines.emplace_back(text);
    return true;
  }
  void Ended() {
    {
      std::lock_guard lock(mutex_);
      ++ended_;
    }
    changed_.notify_all();
  }
  std::vector<std::string> lines;
  bool heldUntilAllEnded = false;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t runs_;
  std::size_t ended_ = 0;
};

class EndsTold final : public StationReport {
 public:
  explicit EndsTold(SlowDisk& disk) : disk_(disk) {}
  void OnLine(std::size_t, std::string_view) override {}
  void OnEvent(std::size_t, const RunEvent&) override {}
  void OnDone(std::size_t, const DeviceOutcome&) override { disk_.Ended(); }
  void OnSlot(const Slot&) override {}
  void OnArrived(const Slot&, bool) override {}
  void OnLeft(const Slot&, uint64_t, bool) override {}
  void OnTallies(const Tallies& tallies) override { last = tallies; }
  void OnRecordFailed(SystemError) override {}
  Tallies last;

 private:
  SlowDisk& disk_;
};

TEST(StationRun, ARecordOnItsWayToTheDiskHoldsNoOtherSlotsRun) {
  // Three boards at three places at once: while the first record to be written waits for its
  // disk, the other runs still report and end.
  auto bus = MakeSimulatedBus({Board(1, 1, 0, 1500), Board(2, 2, 0, 1500), Board(3, 3, 0, 1500)},
                              SystemClock());
  ASSERT_NE(bus, nullptr);
  CancelSwitch cancel(bus->Ports(), SystemClock());
  StationSetup setup = DemoSetup(cancel, *bus, 3);
  DeviceBoardWatch watch(bus->Tree());
  ClockHotplugWatch hotplug(cancel.GetClock());
  SlowDisk disk(3);
  EndsTold told(disk);
  StationRun station(
      setup, watch, hotplug, told, &disk, [] { return false; },
      [] { return std::chrono::system_clock::now(); });
  const Tallies tallies = station.Run();

  EXPECT_TRUE(disk.heldUntilAllEnded);
  EXPECT_EQ(tallies.passed, 3u);
  EXPECT_EQ(disk.lines.size(), 3u);
}

}  // namespace
}  // namespace iapflash
