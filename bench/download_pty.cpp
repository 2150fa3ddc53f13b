// A whole 102400-byte download through the termios backend into a SimDevice served on a
// pseudo-terminal. With 115200-baud wire timing it reports wall time over the time the same
// bytes take on the wire (the ratio to watch: median at most 1.02); without it, round trips per
// second.
// Both measure from step 4 (program) to step 7 (close): the start reply's 500 ms poll is the
// protocol's own wait, not the transport's.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "console/station.h"
#include "image/update_file.h"
#include "link/download_run.h"
#include "sim/pty_server_posix.h"
#include "sim/sim_device.h"

namespace iapflash {
namespace {

using Steady = std::chrono::steady_clock;

constexpr uint32_t BAUD = 115200;
constexpr double BITS_PER_BYTE = 10.0;  // start, 8 data, stop

// A panel that keeps no log, only the moments the program pass began and the close step came.
class TimingPanel final : public OperatorPanel {
 public:
  explicit TimingPanel(std::string path) : path_(std::move(path)) {}
  void AppendLog(std::string_view text) override {
    std::lock_guard lock(mutex_);
    if (text.starts_with("4.写FLASH>>")) programStart = Steady::now();
    if (text.starts_with("7.关闭下载接口>>")) closeStart = Steady::now();
    if (text.starts_with("****固件下载成功.")) succeeded = true;
  }
  int SelectedDevice() override { return 0; }
  std::string FilePath() override { return path_; }
  void SetDownloadEnabled(bool) override {}
  void PostDeviceScan() override {}
  void ShowDevices(const std::vector<std::string>&, int) override {}

  Steady::time_point programStart{};
  Steady::time_point closeStart{};
  bool succeeded = false;

 private:
  std::mutex mutex_;
  std::string path_;
};

std::string WriteImageFile() {
  const auto path = std::filesystem::temp_directory_path() / "iapflash-bench-102400.bin";
  std::vector<char> bytes(UPDATE_HEADER_SIZE + MAX_IMAGE_SIZE, 0);
  std::memcpy(bytes.data(), "IAP_UPDATA_FILE", 15);
  for (uint32_t i = 0; i < MAX_IMAGE_SIZE; ++i) {
    bytes[UPDATE_HEADER_SIZE + i] = static_cast<char>(i * 31u + i / 256u);
  }
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path.string();
}

struct Measured {
  double seconds = 0;      // step 4 to step 7
  uint64_t wireBytes = 0;  // both directions, the same span
  uint64_t roundTrips = 0;
};

Measured Download(const std::string& file, const SimWireTiming& timing) {
  auto device = std::make_shared<SimDevice>();
  device->SetWireTiming(timing);
  SystemError error = 0;
  const auto server = PtyServer::Start(device, error);
  if (!server) throw std::runtime_error("no pseudo-terminal");

  TimingPanel panel(file);
  Station station{SystemSerialPorts(), SystemDeviceTree(), SystemClock(), panel};
  DeviceEntry& entry = station.devices[0];
  std::memset(&entry, 0, sizeof entry);
  entry.portCount = 1;
  std::strncpy(entry.ports[0].portName, server->Path().c_str(), sizeof entry.ports[0].portName - 1);
  entry.inIapMode = 1;
  station.deviceCount = 1;
  if (!DownloadRun(station) || !panel.succeeded) throw std::runtime_error("download failed");

  Measured measured;
  measured.seconds = std::chrono::duration<double>(panel.closeStart - panel.programStart).count();
  for (const auto& command : device->Commands()) {
    if (command.code == 2) continue;  // the start command lies before the span
    measured.wireBytes += command.frame.size();
    if (command.code != 6) {
      measured.wireBytes += SIM_REPLY_SIZE;  // every command but reset is answered
      ++measured.roundTrips;
    }
  }
  return measured;
}

void BM_DownloadAtWireSpeed(benchmark::State& state) {
  const std::string file = WriteImageFile();
  for (auto _ : state) {
    const Measured m = Download(file, SimWireTiming{BAUD, 0, 0});
    const double wire = static_cast<double>(m.wireBytes) * BITS_PER_BYTE / BAUD;
    state.SetIterationTime(m.seconds);
    state.counters["wall_s"] = m.seconds;
    state.counters["wire_s"] = wire;
    state.counters["wall_over_wire"] = m.seconds / wire;
  }
  std::filesystem::remove(file);
}
// One download is 27 s; five show how much the machine's scheduling moves the figure, and the
// median is the one to compare with the target.
BENCHMARK(BM_DownloadAtWireSpeed)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(5)
    ->Unit(benchmark::kSecond);

void BM_DownloadRoundTrips(benchmark::State& state) {
  const std::string file = WriteImageFile();
  for (auto _ : state) {
    const Measured m = Download(file, SimWireTiming{});
    state.SetIterationTime(m.seconds);
    state.counters["round_trips"] = static_cast<double>(m.roundTrips);
    state.counters["round_trips_per_s"] = static_cast<double>(m.roundTrips) / m.seconds;
  }
  std::filesystem::remove(file);
}
BENCHMARK(BM_DownloadRoundTrips)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace iapflash
