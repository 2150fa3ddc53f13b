#include "cli/commands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/device_scan.h"
#include "app/download_run.h"
#include "app/station.h"
#include "cli/cli_panel.h"
#include "cli/interrupts.h"
#include "cli/progress.h"
#include "cli/terminal.h"
#include "platform/cancel_switch.h"
#include "sim/sim_bus.h"

namespace iapflash::cli {
namespace {

// The seams a command works through: the machine's own, or a simulated bus's.
class Seams {
 public:
  explicit Seams(const std::optional<std::string>& scenario) {
    if (scenario) bus_ = MakeSimulatedBus(*scenario, SystemClock());
  }
  bool Ready(const std::optional<std::string>& scenario) const { return !scenario || bus_; }
  SerialPorts& Ports() { return bus_ ? bus_->Ports() : SystemSerialPorts(); }
  DeviceTree& Tree() { return bus_ ? bus_->Tree() : SystemDeviceTree(); }

 private:
  std::unique_ptr<SimulatedBus> bus_;
};

// A table of one device on the named port, as a scan would have found it. The option's check
// refused a name too long for a scan to take.
void UseOnePort(Station& station, const std::string& port, bool inIapMode) {
  DeviceEntry entry;
  entry.ports.push_back(PortEntry{.portName = port});
  entry.inIapMode = inIapMode;
  station.devices = {entry};
}

bool SamePort(const std::string& listed, const std::string& given) {
  return given == listed || given == std::string("/dev/") + listed;
}

}  // namespace

bool ScenarioExists(const std::string& scenario) {
  return MakeSimulatedBus(scenario, SystemClock()) != nullptr;
}

int RunList(const std::optional<std::string>& scenario) {
  Seams seams(scenario);
  if (!seams.Ready(scenario)) return EXIT_USAGE;
  CliPanel panel(stdout, "", true);
  Station station{seams.Ports(), seams.Tree(), SystemClock(), panel};
  ScanDevices(station);
  return EXIT_RUN_SUCCEEDED;
}

int RunFlash(const FlashOptions& options) {
  Seams seams(options.scenario);
  if (!seams.Ready(options.scenario)) return EXIT_USAGE;
  std::unique_ptr<ProgressView> progress;
  if (StderrIsTerminal()) {
    progress =
        std::make_unique<ProgressView>(stderr, SystemClock(), StdoutIsTerminal(), &StderrColumns);
  }
  CliPanel panel(stdout, options.file, false, progress.get());
  CancelSwitch cancel(seams.Ports(), SystemClock());
  const InterruptWatch interrupts(cancel);
  Station station{cancel.Ports(), seams.Tree(), cancel.GetClock(), panel};

  if (options.port && options.iap) {
    UseOnePort(station, *options.port, true);
    panel.Select(0);
  } else {
    ScanDevices(station);  // selects the last device, as the window does
    if (options.device) {
      const unsigned wanted = *options.device;
      if (wanted < station.devices.size()) {
        panel.Select(static_cast<int>(wanted));
      } else {
        std::fprintf(stderr, "iapflash: no device %u; the scan found %u\n", wanted,
                     static_cast<unsigned>(station.devices.size()));
        panel.Select(-1);  // the run then reports that no device is selected
      }
    } else if (options.port) {
      int found = -1;
      for (std::size_t k = 0; k < station.devices.size() && found < 0; ++k) {
        const DeviceEntry& entry = station.devices[k];
        if (!entry.ports.empty() && SamePort(entry.ports[0].portName, *options.port)) {
          found = static_cast<int>(k);
        }
      }
      if (found < 0) {
        UseOnePort(station, *options.port, false);
        found = 0;
      }
      panel.Select(found);
    }
  }
  IgnoredRunEvents noEvents;
  RunEventSink& events = progress ? static_cast<RunEventSink&>(*progress) : noEvents;
  const bool succeeded = DownloadRunAt(station, events).success;
  if (const int status = interrupts.ExitStatus(); status != 0) {
    progress.reset();  // its line ends first
    WriteText(stderr, "iapflash: the run was interrupted by " + interrupts.Name() + "\n");
    return status;
  }
  return succeeded ? EXIT_RUN_SUCCEEDED : EXIT_RUN_FAILED;
}

}  // namespace iapflash::cli
