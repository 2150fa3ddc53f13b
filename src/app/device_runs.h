#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/device_table.h"
#include "log/run_events.h"
#include "platform/clock.h"
#include "platform/device_tree.h"
#include "platform/serial_port.h"

namespace iapflash {

// One device of several downloaded at once.
struct DeviceJob {
  // The device's name for the operator: the port as given, or its entry's first port as scanned.
  std::string port;
  // What its run opens; none: the run reports that no device is selected.
  std::optional<DeviceEntry> entry;
};

struct DeviceOutcome {
  RunFinished finished{};    // its failureLine: the failing step's own line
  uint64_t ms = 0;           // from the run's start to its end
  bool timedOut = false;     // the run failed once its time limit had cut it off
  bool interrupted = false;  // the run failed once it had been stopped from outside
  // For a run that its time limit or an interruption stopped: the line that says so
  // (StopLine's), else empty.
  std::string stopLine{};

  // The run's failure in one line: its stop line, else its failing step's line; empty when the
  // run succeeded.
  const std::string& FailureLine() const {
    return stopLine.empty() ? finished.failureLine : stopLine;
  }
};

// Where the runs report. Called from every run's thread at once, so it must be thread-safe; one
// run's calls come in the order they happened. position is the job's index.
class DeviceRunsReport {
 public:
  virtual ~DeviceRunsReport() = default;
  // The run's log text as the run appended it, before it is cut into lines.
  virtual void OnText(std::size_t /*position*/, std::string_view /*text*/) {}
  // One whole line of the device's log without its line end; progress dots stand where they came
  // (on the line that the next text ends).
  virtual void OnLine(std::size_t /*position*/, std::string_view /*line*/) {}
  virtual void OnEvent(std::size_t position, const RunEvent& event) = 0;
  // The run has ended: its last line and its RunFinished came before; a stop line is the
  // outcome's to say.
  virtual void OnDone(std::size_t position, const DeviceOutcome& outcome) = 0;
};

// The seams every run works through; each must be usable from several threads at once.
struct DeviceRunSeams {
  SerialPorts& ports;
  DeviceTree& tree;
  Clock& clock;
};

// What may end runs before they end by themselves.
struct DeviceRunLimits {
  // Each run's time limit in real time, from its start: past it the run's port transfers and
  // waits end at once, the run fails through its own path and closes its port.
  std::optional<uint64_t> timeLimitMs;
  // Asked when a run has failed: the name of what stopped it from outside (a signal), or empty.
  std::function<std::string()> interruption;
};

// One job's whole run on the caller's thread, reported at position: the update file at path
// into the job's device, through the seams, within the limits. A run stopped by its time limit
// or from outside fails through its own path and closes its port; its outcome's stop line says
// why. heldFile: the file's bytes read once before, which the run loads instead of the file.
DeviceOutcome RunOne(const DeviceRunSeams& seams, const std::string& path, const DeviceJob& job,
                     std::size_t position, DeviceRunsReport& report,
                     const DeviceRunLimits& limits = {},
                     const std::vector<uint8_t>* heldFile = nullptr);

// Downloads the update file at path into every job's device at once: one thread, one run
// context, one log and one event stream each (RunOne). A failing run never stops the others;
// devices that need a mode switch switch at the same time and each finds its own again by its
// USB location. Returns the outcomes in job order once every run has ended.
std::vector<DeviceOutcome> RunDevices(const DeviceRunSeams& seams, const std::string& path,
                                      const std::vector<DeviceJob>& jobs, DeviceRunsReport& report,
                                      const DeviceRunLimits& limits = {},
                                      const std::vector<uint8_t>* heldFile = nullptr);

// "iapflash: the run was interrupted by SIGINT"; for several runs "the runs were".
std::string InterruptionLine(const std::string& name, std::size_t runs = 1);

// Whether any run was stopped from outside.
bool AnyInterrupted(const std::vector<DeviceOutcome>& outcomes);

// Cuts appended log text into whole lines, each without its "\r\n" (or "\n"); text after the
// last line end waits for the rest of its line.
class WholeLines {
 public:
  void Append(std::string_view text, const std::function<void(std::string_view)>& onLine);
  // The text still waiting for its line end, taken away.
  std::string TakeRest();

 private:
  std::string pending_;
};

}  // namespace iapflash
