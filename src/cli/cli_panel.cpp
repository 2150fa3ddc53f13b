#include "cli/cli_panel.h"

namespace iapflash::cli {

std::string WithUnixLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

CliPanel::CliPanel(std::FILE* log, std::string filePath, bool printDeviceLines,
                   ProgressView* progress)
    : log_(log),
      filePath_(std::move(filePath)),
      printDeviceLines_(printDeviceLines),
      progress_(progress) {}

void CliPanel::WriteLocked(std::string_view text) {
  const std::string out = WithUnixLineEnds(text);
  std::fwrite(out.data(), 1, out.size(), log_);
  std::fflush(log_);
}

void CliPanel::AppendLog(std::string_view text) {
  std::lock_guard lock(mutex_);
  if (progress_) progress_->BeforeLog();
  WriteLocked(text);
  if (progress_) progress_->AfterLog(text);
}

int CliPanel::SelectedDevice() {
  std::lock_guard lock(mutex_);
  return selected_;
}

void CliPanel::Select(int index) {
  std::lock_guard lock(mutex_);
  selected_ = index;
}

void CliPanel::ShowDevices(const std::vector<std::string>& lines, int selected) {
  std::lock_guard lock(mutex_);
  selected_ = selected;
  if (!printDeviceLines_) return;
  for (const auto& line : lines) WriteLocked(line + "\n");
}

}  // namespace iapflash::cli
