// The station with boards that carry USB serial numbers, swapped as an operator swaps them: the
// finished board out and the next one in, in one move, as soon as its result is out. Sixteen
// --port slots, each a link (as /dev/serial/by-path names a socket) to the pseudo-terminal of
// the board in it now: a SimDevice at 115200 baud (10 bits a byte) served by this process. The
// machine's scan is a device tree that lists each board's terminal with its serial number, so
// the slot tells the next board from the one before by it, at once.
//
// The station is the real one (StationRun, SlotBook, PortBoardWatch over the system's ports,
// the --iap run path of `flash --all`, a look every STATION_LOOK_INTERVAL_MS and as soon as a
// run ends); only the command line around it is left out. Pseudo-terminals give no device
// events, as real boards' udev events would: the looks alone find the boards.
//
// One board's download time: the mean of the runs' own seconds (from the run's start, as its
// board arrives, to its result) of ROUNDS boards flashed one after another in one slot alone.
// Sixteen slots: ROUNDS boards each; boards per hour from the first board's arrival to the last
// result. Target: at least 95 % of 16 x (3600 / one board's download time). Beside it, what the
// station costs between boards: from a board's result (its swap) to the next board's arrival in
// that slot. One slot and sixteen alternate three times (the machine is shared); the medians
// count. The processor time is the whole process's, the simulated boards' included.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "image/update_file.h"
#include "platform/hotplug.h"
#include "sim/pty_server_posix.h"
#include "sim/sim_device.h"
#include "station/board_watch.h"
#include "station/station_run.h"

namespace iapflash {
namespace {

using Steady = std::chrono::steady_clock;

constexpr uint32_t BAUD = 115200;
constexpr std::size_t SLOTS = 16;
constexpr int ROUNDS = 4;
constexpr int REPEATS = 3;
constexpr uint32_t IMAGE_SIZE = 16384;

std::string Text(const std::string& text) {
  return text + '\0';
}

// The boards on the machine's USB bus, each a single-function boot program (its node is its
// port) whose port is a pseudo-terminal's path, with its serial number; shaped as a scan reads
// the system's tree. Sets are snapshots, as the system's are. Thread-safe.
class BoardTree final : public DeviceTree {
 public:
  // A board at location whose port is path.
  DevInst Plug(const std::string& path, const std::string& location, const std::string& serial) {
    std::lock_guard lock(mutex_);
    const std::string id = "USB\\VID_7F3C&PID_2C71";
    Node node;
    node.instanceId = id + "\\" + serial;
    node.port = path;
    node.properties[DeviceProperty::HardwareId] = Text(id + "&REV_0100") + Text(id) + '\0';
    node.properties[DeviceProperty::Service] = Text("usbser");
    node.properties[DeviceProperty::FriendlyName] = Text("USB Serial Device (" + path + ")");
    node.properties[DeviceProperty::DeviceDesc] = Text("USB Serial Device");
    node.properties[DeviceProperty::LocationInformation] = Text(location);
    node.properties[DeviceProperty::SerialNumber] = Text(serial);
    const DevInst handle = next_++;
    nodes_[handle] = std::move(node);
    return handle;
  }
  void Pull(DevInst handle) {
    std::lock_guard lock(mutex_);
    nodes_.erase(handle);
  }

  std::unique_ptr<DeviceSet> Present(DeviceClass /*deviceClass*/) override {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<DevInst, Node>> members(nodes_.begin(), nodes_.end());
    return std::make_unique<Set>(std::move(members));
  }
  bool Parent(DevInst node, DevInst& parent) override {
    std::lock_guard lock(mutex_);
    if (node == ROOT_HUB || nodes_.count(node) == 0) return false;
    parent = ROOT_HUB;
    return true;
  }
  bool InstanceId(DevInst node, std::string& id) override {
    std::lock_guard lock(mutex_);
    if (node == ROOT_HUB) {
      id = "USB\\ROOT_HUB30\\4&1A2B3C&0&0";
      return true;
    }
    const auto it = nodes_.find(node);
    if (it == nodes_.end()) return false;
    id = it->second.instanceId;
    return true;
  }
  bool NodeProperty(DevInst node, DeviceProperty property, std::string& value) override {
    std::lock_guard lock(mutex_);
    const auto it = nodes_.find(node);
    if (it == nodes_.end()) return false;
    const auto found = it->second.properties.find(property);
    if (found == it->second.properties.end()) return false;
    value = found->second;
    return true;
  }

 private:
  static constexpr DevInst ROOT_HUB = 1;
  struct Node {
    std::string instanceId;
    std::string port;
    std::map<DeviceProperty, std::string> properties;
  };
  class Set final : public DeviceSet {
   public:
    explicit Set(std::vector<std::pair<DevInst, Node>> members) : members_(std::move(members)) {}
    bool Member(uint32_t index, DevInst& node) override {
      if (index >= members_.size()) return false;
      node = members_[index].first;
      return true;
    }
    bool Property(uint32_t index, DeviceProperty property, std::string& value) override {
      if (index >= members_.size()) return false;
      const auto& properties = members_[index].second.properties;
      const auto found = properties.find(property);
      if (found == properties.end()) return false;
      value = found->second;
      return true;
    }
    bool PortName(uint32_t index, std::string& name) override {
      if (index >= members_.size()) return false;
      name = members_[index].second.port;
      return true;
    }

   private:
    std::vector<std::pair<DevInst, Node>> members_;
  };

  std::mutex mutex_;
  std::map<DevInst, Node> nodes_;
  DevInst next_ = 0x10;
};

// A board: its model, served on a pseudo-terminal while it is plugged in.
struct Board {
  std::shared_ptr<SimDevice> device;
  std::unique_ptr<PtyServer> server;
  std::string serial;
  DevInst node = 0;
};

Board MakeBoard(uint64_t number) {
  Board board;
  board.device = std::make_shared<SimDevice>();
  board.device->SetWireTiming(SimWireTiming{BAUD, 0, 0});
  SystemError error = 0;
  board.server = PtyServer::Start(board.device, error);
  if (!board.server) throw std::runtime_error("no pseudo-terminal");
  char serial[16];
  std::snprintf(serial, sizeof serial, "SN%06llu", static_cast<unsigned long long>(number));
  board.serial = serial;
  return board;
}

// The operator: a board in each slot at the start, and at each result the finished board out
// and the next one in (the slot's link renamed over to the next board's terminal, the tree
// changed with it), until every slot has had its boards.
class Operator final : public StationReport {
 public:
  Operator(const std::filesystem::path& folder, std::size_t slots, int rounds) : rounds_(rounds) {
    for (std::size_t k = 0; k < slots; ++k) {
      Socket& socket = sockets_.emplace_back();
      socket.link = folder / ("usb-0:1." + std::to_string(k + 1) + ":1.0");
      socket.location = "1-1." + std::to_string(k + 1) + ":1.0";
      socket.next = MakeBoard(++boards_);
    }
  }
  ~Operator() override {
    for (Socket& socket : sockets_) std::filesystem::remove(socket.link);
  }

  BoardTree& Tree() { return tree_; }
  std::vector<std::string> Links() const {
    std::vector<std::string> links;
    for (const Socket& socket : sockets_) links.push_back(socket.link.string());
    return links;
  }
  void PlugAll() {
    for (std::size_t k = 0; k < sockets_.size(); ++k) Swap(k);
  }
  // Swaps boards as results come, until the last result; then stops.
  void Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return !due_.empty() || results_ == Total(); });
      if (due_.empty()) return;
      const std::size_t position = due_.front();
      due_.pop_front();
      lock.unlock();
      Swap(position);
      lock.lock();
    }
  }
  bool Done() {
    std::lock_guard lock(mutex_);
    return results_ == Total();
  }

  // Figures, once done.
  double Seconds() const {
    return std::chrono::duration<double>(lastResult_ - firstArrival_).count();
  }
  double MeanRunSeconds() const { return runMs_ / 1000.0 / static_cast<double>(results_); }
  // From a board's result to the next board's arrival in its slot (the swap is at the result).
  double MeanGapMs() const { return gaps_ == 0 ? 0 : gapsMs_ / gaps_; }
  double MaxGapMs() const { return maxGapMs_; }
  int Results() const { return results_; }
  int Failures() const { return failures_; }
  int Total() const { return static_cast<int>(sockets_.size()) * rounds_; }

  // StationReport: the station serialises these.
  void OnSlot(const Slot&) override {}
  void OnArrived(const Slot& slot, bool) override {
    std::lock_guard lock(mutex_);
    const auto now = Steady::now();
    if (!arrived_) firstArrival_ = now;
    arrived_ = true;
    const auto result = resultAt_.find(slot.position);
    if (result != resultAt_.end()) {
      const double gap = std::chrono::duration<double, std::milli>(now - result->second).count();
      gapsMs_ += gap;
      maxGapMs_ = std::max(maxGapMs_, gap);
      ++gaps_;
      resultAt_.erase(result);
    }
  }
  void OnLeft(const Slot&, uint64_t, bool) override {}
  void OnTallies(const Tallies&) override {}
  void OnRecordFailed(SystemError) override {}
  void OnEvent(std::size_t, const RunEvent&) override {}
  void OnDone(std::size_t position, const DeviceOutcome& outcome) override {
    std::lock_guard lock(mutex_);
    lastResult_ = Steady::now();
    resultAt_[position] = lastResult_;
    ++results_;
    runMs_ += static_cast<double>(outcome.ms);
    if (!outcome.finished.success) ++failures_;
    if (++plugged_[position] < rounds_) due_.push_back(position);
    changed_.notify_all();
  }

 private:
  struct Socket {
    std::filesystem::path link;
    std::string location;
    Board current;
    Board next;
  };

  // In one move: the finished board out, the next in; then the one after is made ready.
  void Swap(std::size_t position) {
    Socket& socket = sockets_[position];
    const std::filesystem::path staged = socket.link.string() + ".next";
    std::filesystem::create_symlink(socket.next.server->Path(), staged);
    const DevInst node =
        tree_.Plug(socket.next.server->Path(), socket.location, socket.next.serial);
    if (socket.current.node != 0) tree_.Pull(socket.current.node);
    std::filesystem::rename(staged, socket.link);
    socket.current = std::move(socket.next);
    socket.current.node = node;
    socket.next = MakeBoard(++boards_);
  }

  const int rounds_;
  BoardTree tree_;
  std::vector<Socket> sockets_;
  uint64_t boards_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::size_t> due_;
  std::map<std::size_t, int> plugged_;
  bool arrived_ = false;
  Steady::time_point firstArrival_{};
  Steady::time_point lastResult_{};
  int results_ = 0;
  int failures_ = 0;
  double runMs_ = 0;
  std::map<std::size_t, Steady::time_point> resultAt_;
  double gapsMs_ = 0;
  double maxGapMs_ = 0;
  int gaps_ = 0;
};

struct Wave {
  double boardsPerHour = 0;
  double meanRunSeconds = 0;
  double cpuSeconds = 0;        // the whole process's: the station and the simulated boards
  double switchesPerBoard = 0;  // the whole process's context switches, per board
  double meanGapMs = 0;
  double maxGapMs = 0;
};

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Every thread's context switches, given up and taken: each is a wake-up of some thread.
double ProcessSwitches() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

Wave Run(const std::string& file, std::size_t slots, int rounds) {
  const auto folder =
      std::filesystem::temp_directory_path() / ("iapflash-bench-swaps-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  Wave wave;
  const double cpuBefore = ProcessCpuSeconds();
  const double switchesBefore = ProcessSwitches();
  {
    Operator line(folder, slots, rounds);
    std::vector<uint8_t> bytes = ReadFile(file);
    uint32_t checksum = 0;
    for (std::size_t i = UPDATE_HEADER_SIZE; i < bytes.size(); ++i) checksum += bytes[i];
    StationSetup setup{{SystemSerialPorts(), line.Tree(), SystemClock()},
                       file,
                       {file, IMAGE_SIZE, checksum},
                       {},
                       static_cast<uint64_t>(line.Total()),
                       line.Links(),
                       std::move(bytes)};
    PortBoardWatch watch(SystemSerialPorts(), line.Tree(), line.Links(), true);
    ClockHotplugWatch hotplug(SystemClock());
    StationRun station(
        setup, watch, hotplug, line, nullptr, [] { return false; },
        [] { return std::chrono::system_clock::now(); });
    line.PlugAll();
    std::thread hands([&line] { line.Work(); });
    station.Run();  // ends once the batch's runs have ended
    hands.join();
    if (line.Results() != line.Total() || line.Failures() != 0) {
      throw std::runtime_error(std::to_string(line.Failures()) + " of " +
                               std::to_string(line.Results()) + " runs failed");
    }
    wave.boardsPerHour = line.Total() * 3600.0 / line.Seconds();
    wave.meanRunSeconds = line.MeanRunSeconds();
    wave.meanGapMs = line.MeanGapMs();
    wave.maxGapMs = line.MaxGapMs();
  }
  wave.cpuSeconds = ProcessCpuSeconds() - cpuBefore;
  wave.switchesPerBoard = (ProcessSwitches() - switchesBefore) /
                          static_cast<double>(slots * static_cast<std::size_t>(rounds));
  std::filesystem::remove_all(folder);
  return wave;
}

std::string WriteImageFile() {
  const auto path = std::filesystem::temp_directory_path() /
                    ("iapflash-bench-swaps-" + std::to_string(getpid()) + ".bin");
  std::vector<char> bytes(UPDATE_HEADER_SIZE + IMAGE_SIZE, 0);
  std::memcpy(bytes.data(), "IAP_UPDATA_FILE", 15);
  for (uint32_t i = 0; i < IMAGE_SIZE; ++i) {
    bytes[UPDATE_HEADER_SIZE + i] = static_cast<char>(i * 29u + i / 256u);
  }
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path.string();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double Load() {
  double load = 0;
  std::ifstream("/proc/loadavg") >> load;
  return load;
}

void BM_SixteenSlotsSwappedBySerialNumber(benchmark::State& state) {
  const std::string file = WriteImageFile();
  for (auto _ : state) {
    std::vector<double> ones, sixteens, sixteenRuns, gaps;
    const auto start = Steady::now();
    for (int repeat = 0; repeat < REPEATS; ++repeat) {
      const Wave one = Run(file, 1, ROUNDS);
      std::printf(
          "one slot, %d boards: one board's download %.3f s; processor %.2f s; %.0f context "
          "switches a board; load %.2f\n",
          ROUNDS, one.meanRunSeconds, one.cpuSeconds, one.switchesPerBoard, Load());
      const Wave sixteen = Run(file, SLOTS, ROUNDS);
      const double target = SLOTS * 3600.0 / one.meanRunSeconds;
      std::printf(
          "%zu slots, %zu boards: %.1f boards per hour (%.3f of 16 x 3600 / %.3f s; "
          "runs of %.3f s; from a result to the next arrival %.1f ms, at most %.1f ms); "
          "processor %.2f s; %.0f context switches a board; load %.2f\n",
          SLOTS, SLOTS * ROUNDS, sixteen.boardsPerHour, sixteen.boardsPerHour / target,
          one.meanRunSeconds, sixteen.meanRunSeconds, sixteen.meanGapMs, sixteen.maxGapMs,
          sixteen.cpuSeconds, sixteen.switchesPerBoard, Load());
      std::fflush(stdout);
      ones.push_back(one.meanRunSeconds);
      sixteens.push_back(sixteen.boardsPerHour);
      sixteenRuns.push_back(sixteen.meanRunSeconds);
      gaps.push_back(sixteen.meanGapMs);
    }
    const double oneBoard = Median(ones);
    const double perHour = Median(sixteens);
    state.SetIterationTime(std::chrono::duration<double>(Steady::now() - start).count());
    state.counters["one_board_s"] = oneBoard;
    state.counters["sixteen_run_s"] = Median(sixteenRuns);
    state.counters["result_to_next_arrival_ms"] = Median(gaps);
    state.counters["boards_per_hour_16_slots"] = perHour;
    state.counters["target_16x3600_over_one"] = SLOTS * 3600.0 / oneBoard;
    // Target: at least 0.95.
    state.counters["ratio_to_target"] = perHour / (SLOTS * 3600.0 / oneBoard);
  }
  std::filesystem::remove(file);
}
// About two minutes: three waves of one slot (4 boards, ~25 s) and sixteen (64 boards, ~25 s).
BENCHMARK(BM_SixteenSlotsSwappedBySerialNumber)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace iapflash
