// A whole 102400-byte download through the termios backend into a SimDevice served on a
// pseudo-terminal. With 115200-baud wire timing it reports wall time over the time the same
// bytes take on the wire (the ratio to watch: median at most 1.02); without it, round trips per
// second.
// Both measure from step 4 (program) to step 7 (close): the start reply's 500 ms poll is the
// protocol's own wait, not the transport's. The same download through ser2net over RFC 2217 on
// loopback is compared with the local pseudo-terminal in the same run (the ratio to watch:
// median at most 1.05).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/download_run.h"
#include "app/station.h"
#include "image/update_file.h"
#include "sim/pty_server_posix.h"
#include "sim/ser2net_server_posix.h"
#include "sim/sim_device.h"

namespace iapflash {
namespace {

using Steady = std::chrono::steady_clock;

constexpr uint32_t BAUD = 115200;
constexpr double BITS_PER_BYTE = 10.0;  // start, 8 data, stop

// Keeps no log, only the moments the program pass began and the close step came.
class DiscardedLog final : public LogSink {
 public:
  void AppendLog(std::string_view) override {}
};

class Timing final : public RunEventSink {
 public:
  void OnEvent(const RunEvent& event) override {
    if (const auto* started = std::get_if<StepStarted>(&event)) {
      if (started->step == RunStep::Program) programStart = Steady::now();
      if (started->step == RunStep::CloseLink) closeStart = Steady::now();
    }
  }
  Steady::time_point programStart{};
  Steady::time_point closeStart{};
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

// Over the device's pseudo-terminal, or through ser2net in front of it with a protocol.
Measured Download(const std::string& file, const SimWireTiming& timing,
                  std::optional<RemoteProtocol> remote = std::nullopt) {
  auto device = std::make_shared<SimDevice>();
  device->SetWireTiming(timing);
  SystemError error = 0;
  const auto server = PtyServer::Start(device, error);
  if (!server) throw std::runtime_error("no pseudo-terminal");
  std::unique_ptr<Ser2netServer> network;
  if (remote) {
    std::string problem;
    network = Ser2netServer::Start(server->Path(), *remote, problem);
    if (!network) throw std::runtime_error(problem);
  }
  const std::string port = network ? network->PortName() : server->Path();

  DeviceEntry entry;
  entry.ports.push_back(PortEntry{.portName = port});
  entry.inIapMode = true;
  DiscardedLog log;
  Timing moments;
  FixedRunInputs inputs(file, entry);
  RunContext run{{SystemSerialPorts(), SystemDeviceTree(), SystemClock(), log, moments}, inputs};
  if (!DownloadRun(run).success) throw std::runtime_error("download failed");

  Measured measured;
  measured.seconds =
      std::chrono::duration<double>(moments.closeStart - moments.programStart).count();
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

// The same download over RFC 2217 through ser2net (chardelay off) and over the local
// pseudo-terminal, one after the other in each repetition; the time reported is the remote one.
void BM_DownloadOverRfc2217(benchmark::State& state) {
  const std::string file = WriteImageFile();
  for (auto _ : state) {
    const Measured local = Download(file, SimWireTiming{BAUD, 0, 0});
    const Measured remote = Download(file, SimWireTiming{BAUD, 0, 0}, RemoteProtocol::Rfc2217);
    state.SetIterationTime(remote.seconds);
    state.counters["local_s"] = local.seconds;
    state.counters["remote_s"] = remote.seconds;
    state.counters["remote_over_local"] = remote.seconds / local.seconds;
  }
  std::filesystem::remove(file);
}
BENCHMARK(BM_DownloadOverRfc2217)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace iapflash
