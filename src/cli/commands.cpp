#include "cli/commands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/device_runs.h"
#include "app/device_scan.h"
#include "app/download_run.h"
#include "app/station.h"
#include "cli/cli_panel.h"
#include "cli/device_progress.h"
#include "cli/interrupts.h"
#include "cli/json_events.h"
#include "cli/line_report.h"
#include "cli/output_queue.h"
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
// station's panel and fills its table; what the command says of it goes to messages.
Chosen ChooseDevices(Station& station, const FlashOptions& options, TextOut& messages) {
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
      messages.Write("iapflash: no device " + std::to_string(wanted) + "; the scan found " +
                     std::to_string(table.size()) + "\n");
      chosen.jobs.push_back({"", std::nullopt});  // the run reports that none is selected
    }
  } else if (selected >= 0) {
    chosen.jobs.push_back({firstPort(table[selected]), table[selected]});
  } else {
    chosen.jobs.push_back({"", std::nullopt});
  }
  return chosen;
}

int NoDeviceFound(TextOut& messages) {
  messages.Write("iapflash: the scan found no device\n");
  return EXIT_RUN_FAILED;
}

// What ends runs early: the command's time limit, and a signal through the watch.
DeviceRunLimits Limits(const FlashOptions& options, const InterruptWatch& interrupts) {
  return {options.timeoutMs, [&interrupts] { return interrupts.Name(); }};
}

// The status of a command whose runs have ended: a signal's when it stopped a run; else 0 when
// every run succeeded (a run that had verified its image before the signal came succeeded).
int FinalStatus(const std::vector<DeviceOutcome>& outcomes, const InterruptWatch& interrupts) {
  if (AnyInterrupted(outcomes) && interrupts.ExitStatus() != 0) return interrupts.ExitStatus();
  const bool all =
      !outcomes.empty() && std::all_of(outcomes.begin(), outcomes.end(),
                                       [](const DeviceOutcome& o) { return o.finished.success; });
  return all ? EXIT_RUN_SUCCEEDED : EXIT_RUN_FAILED;
}

// The command's own line on stderr when a signal stopped its runs.
void SayInterrupted(const std::vector<DeviceOutcome>& outcomes, const InterruptWatch& interrupts,
                    TextOut& messages) {
  if (!AnyInterrupted(outcomes)) return;
  messages.Write(InterruptionLine(interrupts.Name(), outcomes.size()) + "\n");
}

std::unique_ptr<DeviceProgressLines> ProgressLines(const std::vector<DeviceJob>& jobs,
                                                   OutputQueue& output) {
  if (!StderrIsTerminal()) return nullptr;
  std::vector<std::string> labels;
  for (std::size_t k = 0; k < jobs.size(); ++k) labels.push_back(DeviceLabel(k, jobs[k].port));
  return std::make_unique<DeviceProgressLines>(output.Stderr(), SystemClock(), StdoutIsTerminal(),
                                               &StderrColumns, std::move(labels), &StderrRows);
}

// The log as text: one device's as the window shows it, with its progress bar; several devices'
// lines each with its label, their progress lines and the summary table.
int FlashText(const DeviceRunSeams& seams, const FlashOptions& options,
              const InterruptWatch& interrupts, OutputQueue& output) {
  CliPanel panel(output.Stdout(), false);
  Station scan{seams.ports, seams.tree, seams.clock, panel};
  const Chosen chosen = ChooseDevices(scan, options, output.Stderr());
  if (chosen.jobs.empty()) return NoDeviceFound(output.Stderr());
  const DeviceRunLimits limits = Limits(options, interrupts);
  if (chosen.jobs.size() == 1) {
    std::unique_ptr<ProgressView> progress;
    if (StderrIsTerminal()) {
      progress = std::make_unique<ProgressView>(output.Stderr(), SystemClock(), StdoutIsTerminal(),
                                                &StderrColumns);
    }
    // Its stop line, on stderr, is the command's word on a stopped run.
    OneDeviceLog log(output.Stdout(), output.Stderr(), progress.get());
    return FinalStatus(RunDevices(seams, options.file, chosen.jobs, log, limits), interrupts);
  }
  const auto progress = ProgressLines(chosen.jobs, output);
  LineReport report(output.Stdout(), chosen.jobs, progress.get());
  const std::vector<DeviceOutcome> outcomes =
      RunDevices(seams, options.file, chosen.jobs, report, limits);
  report.Summarize(outcomes);
  SayInterrupted(outcomes, interrupts, output.Stderr());
  return FinalStatus(outcomes, interrupts);
}

// --json: one device or several, everything as JSON objects on stdout.
int FlashJson(const DeviceRunSeams& seams, const FlashOptions& options,
              const InterruptWatch& interrupts, OutputQueue& output) {
  JsonEvents events(output.Stdout(), SystemClock());
  JsonScanPanel panel(events);
  Station station{seams.ports, seams.tree, seams.clock, panel};
  Chosen chosen = ChooseDevices(station, options, output.Stderr());
  if (chosen.scanned) events.Scan(station.devices);
  // No device found is no run: JSON names no device that is not there.
  std::erase_if(chosen.jobs, [](const DeviceJob& job) { return !job.entry; });
  const auto progress = ProgressLines(chosen.jobs, output);
  events.SetDevices(chosen.jobs, progress.get());
  const std::vector<DeviceOutcome> outcomes =
      RunDevices(seams, options.file, chosen.jobs, events, Limits(options, interrupts));
  int status = FinalStatus(outcomes, interrupts);
  if (chosen.jobs.empty()) {
    // --device N past the scan's end has been said already.
    status = station.devices.empty() ? NoDeviceFound(output.Stderr()) : EXIT_RUN_FAILED;
  }
  events.Summary(outcomes, status);
  SayInterrupted(outcomes, interrupts, output.Stderr());
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

std::optional<uint64_t> TimeoutMs(const std::string& text) {
  const std::size_t point = text.find('.');
  const std::string whole = text.substr(0, point);
  const std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
  auto digits = [](const std::string& part) {
    return std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (whole.empty() && fraction.empty()) return std::nullopt;
  if (!digits(whole) || !digits(fraction) || whole.size() > 7) return std::nullopt;
  const std::string millis = (fraction + "000").substr(0, 3);
  const uint64_t ms = std::stoull("0" + whole) * 1000 + std::stoull(millis);
  // Less than a millisecond is no limit a run could keep; more is rounded up.
  if (ms == 0 || ms > 1000000ull * 1000) return std::nullopt;
  const bool more = fraction.size() > 3 && fraction.find_first_not_of('0', 3) != std::string::npos;
  return more ? ms + 1 : ms;
}

bool ScenarioExists(const std::string& scenario) {
  return MakeSimulatedBus(scenario, SystemClock()) != nullptr;
}

int RunList(const std::optional<std::string>& scenario) {
  Seams seams(scenario);
  if (!seams.Ready(scenario)) return EXIT_USAGE;
  DirectOut out(stdout);
  CliPanel panel(out, true);
  Station station{seams.Ports(), seams.Tree(), SystemClock(), panel};
  ScanDevices(station);
  return EXIT_RUN_SUCCEEDED;
}

int FinishOutput(OutputQueue& output, int status, const InterruptWatch& interrupts) {
  const bool written = output.Drain();
  std::string words;
  if (const std::string failure = output.Failure(stdout); !failure.empty()) {
    words += "iapflash: cannot write to stdout: " + failure + "\n";
  }
  if (output.LostLines() > 0) {
    words += "iapflash: part of the output was lost: stdout was not read in time\n";
  }
  if (!written) words += "iapflash: the rest of the output was not written: stdout is not read\n";
  if (words.empty()) return status;
  // A writer that still waits for its reader may hold stderr as well.
  WriteTextIfReady(stderr, words);
  if (!written) return interrupts.ExitStatus();
  const bool signalled = interrupts.ExitStatus() != 0 && status == interrupts.ExitStatus();
  return signalled ? status : EXIT_RUN_FAILED;
}

bool WriteStream(std::FILE* stream, std::string_view text, std::string& error) {
  return WriteText(stream, text, &error);
}

int RunFlash(const FlashOptions& options) {
  Seams seams(options.scenario);
  if (!seams.Ready(options.scenario)) return EXIT_USAGE;
  // The runs' output goes through one writer: no run ever waits for a reader.
  OutputQueue output(&WriteStream);
  // A signal cancels every run through this switch: each ends through its own failure path and
  // gives its port back; the output's end no longer waits for a reader that does not read.
  CancelSwitch cancel(seams.Ports(), SystemClock());
  const InterruptWatch interrupts(cancel, [&output] { output.Interrupt(); });
  const DeviceRunSeams runSeams{cancel.Ports(), seams.Tree(), cancel.GetClock()};
  const int status = options.json ? FlashJson(runSeams, options, interrupts, output)
                                  : FlashText(runSeams, options, interrupts, output);
  return FinishOutput(output, status, interrupts);
}

}  // namespace iapflash::cli
