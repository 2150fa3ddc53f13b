#include "cli/line_report.h"

#include <algorithm>

#include "cli/terminal_text.h"

namespace iapflash::cli {
// Built by appending only: gcc 12 at -O3 warns falsely on "literal" + std::string&&.
std::string DeviceLabel(std::size_t position, const std::string& port) {
  std::string label = "[";
  label.append(std::to_string(position))
      .append(" ")
      .append(WithControlsEscaped(port, false))
      .append("] ");
  return label;
}

LineReport::LineReport(TextOut& log, const std::vector<DeviceJob>& jobs,
                       DeviceProgressLines* progress)
    : log_(log), progress_(progress) {
  for (std::size_t k = 0; k < jobs.size(); ++k) {
    labels_.push_back(DeviceLabel(k, jobs[k].port));
    ports_.push_back(jobs[k].port);
  }
}

void LineReport::OnLine(std::size_t position, std::string_view line) {
  // Text a device sent (its replies shown in the log) never drives the terminal.
  std::string text = labels_.at(position);
  text.append(WithControlsEscaped(line)).append("\n");
  std::lock_guard lock(mutex_);
  if (progress_) progress_->BeforeLog();
  log_.Write(text);
  if (progress_) progress_->AfterLog();
}

void LineReport::OnEvent(std::size_t position, const RunEvent& event) {
  std::lock_guard lock(mutex_);
  if (progress_) progress_->OnEvent(position, event);
}

void LineReport::OnDone(std::size_t position, const DeviceOutcome& outcome) {
  if (!outcome.stopLine.empty()) OnLine(position, outcome.stopLine);
  std::lock_guard lock(mutex_);
  if (progress_) progress_->OnDone(position, outcome);
}

void LineReport::Summarize(const std::vector<DeviceOutcome>& outcomes) {
  std::lock_guard lock(mutex_);
  if (progress_) progress_->Finish();
  log_.Write(SummaryTable(ports_, outcomes));
}

std::string SummaryTable(const std::vector<std::string>& ports,
                         const std::vector<DeviceOutcome>& outcomes) {
  const std::size_t succeeded = static_cast<std::size_t>(std::count_if(
      outcomes.begin(), outcomes.end(), [](const DeviceOutcome& o) { return o.finished.success; }));
  std::vector<std::string> shown;
  for (const std::string& port : ports) shown.push_back(WithControlsEscaped(port, false));
  int portWidth = DisplayWidth("PORT");
  for (const std::string& port : shown) portWidth = std::max(portWidth, DisplayWidth(port));
  const int positionWidth = std::max<int>(3, static_cast<int>(std::to_string(ports.size()).size()));

  std::string table = "Summary: ";
  table.append(std::to_string(succeeded))
      .append(" of ")
      .append(std::to_string(outcomes.size()))
      .append(" devices succeeded\n");
  table.append(Padded("#", positionWidth, true))
      .append("  ")
      .append(Padded("PORT", portWidth))
      .append("  RESULT   SECONDS  FAILURE\n");
  for (std::size_t k = 0; k < ports.size() && k < outcomes.size(); ++k) {
    const DeviceOutcome& outcome = outcomes[k];
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%7.1f", static_cast<double>(outcome.ms) / 1000.0);
    table.append(Padded(std::to_string(k), positionWidth, true))
        .append("  ")
        .append(Padded(shown[k], portWidth))
        .append("  ")
        .append(outcome.finished.success ? "success" : "failure")
        .append("  ")
        .append(seconds);
    if (!outcome.finished.success) {
      table.append("  ").append(WithControlsEscaped(outcome.FailureLine(), false));
    }
    table.append("\n");
  }
  return table;
}

}  // namespace iapflash::cli
