#include "cli/cli_panel.h"

#include "cli/terminal_text.h"

namespace iapflash::cli {

std::string ShownLogText(std::string_view text) {
  return WithUnixLineEnds(WithControlsEscaped(text));
}

CliPanel::CliPanel(TextOut& log, bool printDeviceLines)
    : log_(log), printDeviceLines_(printDeviceLines) {}

void CliPanel::AppendLog(std::string_view text) {
  std::lock_guard lock(mutex_);
  log_.Write(ShownLogText(text));
}

int CliPanel::SelectedDevice() {
  std::lock_guard lock(mutex_);
  return selected_;
}

void CliPanel::ShowDevices(const std::vector<std::string>& lines, int selected) {
  std::lock_guard lock(mutex_);
  selected_ = selected;
  if (!printDeviceLines_) return;
  for (const auto& line : lines) log_.Write(ShownLogText(line + "\n"));
}

OneDeviceLog::OneDeviceLog(TextOut& log, TextOut& messages, ProgressView* progress)
    : log_(log), messages_(messages), progress_(progress) {}

void OneDeviceLog::OnText(std::size_t, std::string_view text) {
  std::lock_guard lock(mutex_);
  if (progress_) progress_->BeforeLog();
  log_.Write(ShownLogText(text));
  if (progress_) progress_->AfterLog(text);
}

void OneDeviceLog::OnEvent(std::size_t, const RunEvent& event) {
  std::lock_guard lock(mutex_);
  if (progress_) progress_->OnEvent(event);
}

void OneDeviceLog::OnDone(std::size_t, const DeviceOutcome& outcome) {
  std::lock_guard lock(mutex_);
  if (progress_) progress_->Finish();  // its line ends first
  if (!outcome.stopLine.empty()) messages_.Write(outcome.stopLine + "\n");
}

}  // namespace iapflash::cli
