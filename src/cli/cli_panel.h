#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/device_runs.h"
#include "app/operator_panel.h"
#include "cli/output_queue.h"
#include "cli/progress.h"

namespace iapflash::cli {

// The command line's stand-in for the operator's window during a scan: the log pane is a stream
// (stdout), the selected device is what the scan selected.
class CliPanel final : public OperatorPanel {
 public:
  // With printDeviceLines the device list's lines go to the log stream too (`list`); otherwise
  // only the selection is kept.
  CliPanel(TextOut& log, bool printDeviceLines);

  // Each append is written whole, CR LF as LF, control characters escaped.
  void AppendLog(std::string_view text) override;
  int SelectedDevice() override;
  std::string FilePath() override { return {}; }
  void ShowDevices(const std::vector<std::string>& lines, int selected) override;

 private:
  std::mutex mutex_;
  TextOut& log_;
  const bool printDeviceLines_;
  int selected_ = -1;
};

// One device's run as the window shows it: its log text as it comes on the log stream, CR LF as
// LF and control characters escaped; its progress bar on a terminal; then the line that says why
// it was stopped, if it was, on the messages stream (stderr).
class OneDeviceLog final : public DeviceRunsReport {
 public:
  // progress may be null (no terminal to draw on).
  OneDeviceLog(TextOut& log, TextOut& messages, ProgressView* progress);

  void OnText(std::size_t position, std::string_view text) override;
  void OnEvent(std::size_t position, const RunEvent& event) override;
  void OnDone(std::size_t position, const DeviceOutcome& outcome) override;

 private:
  std::mutex mutex_;
  TextOut& log_;
  TextOut& messages_;
  ProgressView* progress_;
};

// Log text as a terminal is to show it: control characters escaped, CR LF as LF.
std::string ShownLogText(std::string_view text);

}  // namespace iapflash::cli
