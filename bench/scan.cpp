// A device scan over a simulated bus of 16 application devices with two serial ports each.
#include <benchmark/benchmark.h>

#include "app/device_scan.h"
#include "discovery/serial_discovery.h"
#include "log/log.h"
#include "sim/sim_bus.h"

namespace iapflash {
namespace {

// A window that takes the log and the list and shows nothing.
class DiscardingPanel final : public OperatorPanel {
 public:
  void AppendLog(std::string_view) override {}
  int SelectedDevice() override { return selected_; }
  std::string FilePath() override { return {}; }
  void ShowDevices(const std::vector<std::string>& lines, int selected) override {
    benchmark::DoNotOptimize(lines.data());
    selected_ = selected;
  }

 private:
  int selected_ = -1;
};

void DiscardDiagnostics(const std::string&) {}

void BM_ScanSixteenDevicesThirtyTwoPorts(benchmark::State& state) {
  SetDiagnosticSink(&DiscardDiagnostics);
  DiscardingPanel panel;
  auto bus = MakeSimulatedBus("crowded", SystemClock());
  Station station{bus->Ports(), bus->Tree(), SystemClock(), panel};
  for (auto _ : state) {
    if (ScanDevices(station) != 16 || station.devices[15].ports.size() != 2) {
      state.SkipWithError("the scan did not find 16 devices of two ports");
      break;
    }
  }
  SetDiagnosticSink(nullptr);
}
BENCHMARK(BM_ScanSixteenDevicesThirtyTwoPorts)->Unit(benchmark::kMicrosecond);

void BM_DiscoverSixteenDevicesThirtyTwoPorts(benchmark::State& state) {
  auto bus = MakeSimulatedBus("crowded", SystemClock());
  DeviceTable table{};
  for (auto _ : state) benchmark::DoNotOptimize(DiscoverSerialDevices(bus->Tree(), table));
}
BENCHMARK(BM_DiscoverSixteenDevicesThirtyTwoPorts)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace iapflash
