#pragma once

#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/device_runs.h"
#include "cli/device_progress.h"
#include "cli/output_queue.h"

namespace iapflash::cli {

// "[N PORT] ": how a device's lines begin when several devices run; the port's control
// characters escaped.
std::string DeviceLabel(std::size_t position, const std::string& port);

// The text output of several runs: every whole log line prefixed with its device's label on the
// log stream (stdout), never two devices' text within one line, a stopped run's stop line last
// among its lines, and the devices' progress lines on a terminal when there is one.
class LineReport final : public DeviceRunsReport {
 public:
  // progress may be null (no terminal to draw on).
  LineReport(TextOut& log, const std::vector<DeviceJob>& jobs, DeviceProgressLines* progress);

  void OnLine(std::size_t position, std::string_view line) override;
  void OnEvent(std::size_t position, const RunEvent& event) override;
  void OnDone(std::size_t position, const DeviceOutcome& outcome) override;

  // The progress lines' last state, then the summary table.
  void Summarize(const std::vector<DeviceOutcome>& outcomes);

 private:
  std::mutex mutex_;
  TextOut& log_;
  std::vector<std::string> labels_;
  std::vector<std::string> ports_;
  DeviceProgressLines* progress_;
};

// The table that ends a run of several devices: a count line, a heading, then per device its
// position, port, result, seconds and, for a failure, its failure line; control characters
// escaped.
std::string SummaryTable(const std::vector<std::string>& ports,
                         const std::vector<DeviceOutcome>& outcomes);

}  // namespace iapflash::cli
