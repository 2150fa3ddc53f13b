#include "cli/commands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/device_runs.h"
#include "app/device_scan.h"
#include "app/download_run.h"
#include "app/station.h"
#include "app/time_limit.h"
#include "cli/cli_panel.h"
#include "cli/device_progress.h"
#include "cli/interrupts.h"
#include "cli/json_events.h"
#include "cli/line_report.h"
#include "cli/progress.h"
#include "cli/terminal.h"
#include "platform/cancel_switch.h"
#include "platform/port_identity.h"
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

// One device under two names: by what the names open, not by their letters.
bool SamePort(const std::string& listed, const std::string& given) {
  return SamePortDevice(listed, given);
}

// A device as the command line names it by its port, without a scan's help: the options' check
// refused a name too long for a scan to take.
DeviceEntry OnePortDevice(const std::string& port, bool inIapMode) {
  DeviceEntry entry;
  entry.ports.push_back(PortEntry{.portName = port});
  entry.inIapMode = inIapMode;
  return entry;
}

struct Chosen {
  std::vector<DeviceJob> jobs;
  bool scanned = false;
};

// The devices the options name, in their order. A scan, when one is needed, logs to the
// station's panel and fills its table.
Chosen ChooseDevices(Station& station, const FlashOptions& options) {
  Chosen chosen;
  if (!options.ports.empty() && options.iap) {
    for (const std::string& port : options.ports) {
      chosen.jobs.push_back({port, OnePortDevice(port, true)});
    }
    return chosen;
  }
  // Selects the last device, as the window does.
  const int selected = ScanDevices(station) - 1;
  chosen.scanned = true;
  const DeviceTable& table = station.devices;
  auto firstPort = [](const DeviceEntry& entry) {
    return entry.ports.empty() ? std::string() : entry.ports.front().portName;
  };
  if (options.all) {
    // The scan may list one device twice (under each of its ports' groups): one run per port.
    for (const DeviceEntry& entry : table) {
      const std::string port = firstPort(entry);
      const bool listed = std::any_of(chosen.jobs.begin(), chosen.jobs.end(),
                                      [&](const DeviceJob& job) { return job.port == port; });
      if (!listed) chosen.jobs.push_back({port, entry});
    }
  } else if (!options.ports.empty()) {
    // A port the scan did not find is still tried, as an application without a location.
    for (const std::string& port : options.ports) {
      const auto found = std::find_if(table.begin(), table.end(), [&](const DeviceEntry& entry) {
        return !entry.ports.empty() && SamePort(entry.ports[0].portName, port);
      });
      chosen.jobs.push_back({port, found != table.end() ? *found : OnePortDevice(port, false)});
    }
  } else if (options.device) {
    const unsigned wanted = *options.device;
    if (wanted < table.size()) {
      chosen.jobs.push_back({firstPort(table[wanted]), table[wanted]});
    } else {
      std::fprintf(stderr, "iapflash: no device %u; the scan found %u\n", wanted,
                   static_cast<unsigned>(table.size()));
      chosen.jobs.push_back({"", std::nullopt});  // the run reports that none is selected
    }
  } else if (selected >= 0) {
    chosen.jobs.push_back({firstPort(table[selected]), table[selected]});
  } else {
    chosen.jobs.push_back({"", std::nullopt});
  }
  return chosen;
}

int NoDeviceFound() {
  std::fprintf(stderr, "iapflash: the scan found no device\n");
  return EXIT_RUN_FAILED;
}

int ExitStatus(const std::vector<DeviceOutcome>& outcomes) {
  const bool all =
      !outcomes.empty() && std::all_of(outcomes.begin(), outcomes.end(),
                                       [](const DeviceOutcome& o) { return o.finished.success; });
  return all ? EXIT_RUN_SUCCEEDED : EXIT_RUN_FAILED;
}

std::unique_ptr<DeviceProgressLines> ProgressLines(const std::vector<DeviceJob>& jobs) {
  if (!StderrIsTerminal()) return nullptr;
  std::vector<std::string> labels;
  for (std::size_t k = 0; k < jobs.size(); ++k) labels.push_back(DeviceLabel(k, jobs[k].port));
  return std::make_unique<DeviceProgressLines>(stderr, SystemClock(), StdoutIsTerminal(),
                                               &StderrColumns, std::move(labels));
}

// What ends runs early: the command's time limit, and a signal through the watch.
DeviceRunLimits Limits(const FlashOptions& options, const InterruptWatch& interrupts) {
  return {options.timeoutMs, [&interrupts] { return interrupts.Name(); }};
}

// The status of a command whose runs have ended: a signal's, when one stopped them.
int FinalStatus(const std::vector<DeviceOutcome>& outcomes, const InterruptWatch& interrupts) {
  if (const int status = interrupts.ExitStatus(); status != 0) return status;
  return ExitStatus(outcomes);
}

void SayInterrupted(const InterruptWatch& interrupts, const char* what) {
  if (interrupts.ExitStatus() == 0) return;
  WriteText(stderr,
            std::string("iapflash: ") + what + " interrupted by " + interrupts.Name() + "\n");
}

// Several devices at once: their lines labelled, their progress lines, the summary table.
int FlashLine(const DeviceRunSeams& seams, const FlashOptions& options,
              const std::vector<DeviceJob>& jobs, const InterruptWatch& interrupts) {
  const auto progress = ProgressLines(jobs);
  LineReport report(stdout, jobs, progress.get());
  const std::vector<DeviceOutcome> outcomes =
      RunDevices(seams, options.file, jobs, report, Limits(options, interrupts));
  report.Summarize(outcomes);
  SayInterrupted(interrupts, "the runs were");
  return FinalStatus(outcomes, interrupts);
}

// --json: one device or several, everything as JSON objects on stdout.
int FlashJson(const DeviceRunSeams& seams, const FlashOptions& options,
              const InterruptWatch& interrupts) {
  JsonEvents events(stdout, SystemClock());
  JsonScanPanel panel(events);
  Station station{seams.ports, seams.tree, seams.clock, panel};
  const Chosen chosen = ChooseDevices(station, options);
  if (chosen.scanned) events.Scan(station.devices);
  const auto progress = ProgressLines(chosen.jobs);
  events.SetDevices(chosen.jobs, progress.get());
  const std::vector<DeviceOutcome> outcomes =
      RunDevices(seams, options.file, chosen.jobs, events, Limits(options, interrupts));
  const int status = chosen.jobs.empty() ? NoDeviceFound() : FinalStatus(outcomes, interrupts);
  events.Summary(outcomes, status);
  SayInterrupted(interrupts, chosen.jobs.size() > 1 ? "the runs were" : "the run was");
  return status;
}

}  // namespace

std::optional<std::string> PortNamedTwice(const std::vector<std::string>& ports) {
  for (std::size_t k = 0; k < ports.size(); ++k) {
    for (std::size_t before = 0; before < k; ++before) {
      if (SamePort(ports[before], ports[k])) return ports[k];
    }
  }
  return std::nullopt;
}

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
  // A signal cancels every run through this switch: each ends through its own failure path and
  // gives its port back.
  CancelSwitch cancel(seams.Ports(), SystemClock());
  const InterruptWatch interrupts(cancel);
  const DeviceRunSeams runSeams{cancel.Ports(), seams.Tree(), cancel.GetClock()};
  if (options.json) return FlashJson(runSeams, options, interrupts);

  std::unique_ptr<ProgressView> progress;
  if (StderrIsTerminal()) {
    progress =
        std::make_unique<ProgressView>(stderr, SystemClock(), StdoutIsTerminal(), &StderrColumns);
  }
  CliPanel panel(stdout, options.file, false, progress.get());
  Station scan{runSeams.ports, runSeams.tree, runSeams.clock, panel};
  const Chosen chosen = ChooseDevices(scan, options);
  if (chosen.jobs.empty()) return NoDeviceFound();
  if (chosen.jobs.size() > 1) {
    progress.reset();
    return FlashLine(runSeams, options, chosen.jobs, interrupts);
  }

  // One device: the run as the window makes it, its log as the window shows it.
  TimeLimit limit(runSeams.ports, runSeams.clock, options.timeoutMs);
  Station station{limit.Ports(), runSeams.tree, limit.GetClock(), panel};
  const std::optional<DeviceEntry>& entry = chosen.jobs.front().entry;
  station.devices = entry ? DeviceTable{*entry} : DeviceTable{};
  panel.Select(entry ? 0 : -1);
  IgnoredRunEvents noEvents;
  RunEventSink& events = progress ? static_cast<RunEventSink&>(*progress) : noEvents;
  const bool succeeded = DownloadRunAt(station, events).success;
  if (const int status = interrupts.ExitStatus(); status != 0) {
    progress.reset();  // its line ends first
    SayInterrupted(interrupts, "the run was");
    return status;
  }
  if (!succeeded && limit.Expired()) {
    progress.reset();
    WriteText(stderr, limit.Line() + "\n");
  }
  return succeeded ? EXIT_RUN_SUCCEEDED : EXIT_RUN_FAILED;
}

}  // namespace iapflash::cli
