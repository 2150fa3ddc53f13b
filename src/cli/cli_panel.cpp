#include "cli/cli_panel.h"

#include "cli/terminal.h"

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

std::string WithControlsEscaped(std::string_view text) {
  constexpr char HEX[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  auto escape = [&](unsigned char byte) {
    out += "\\x";
    out += HEX[byte >> 4];
    out += HEX[byte & 0x0F];
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if ((byte < 0x20 && byte != '\r' && byte != '\n' && byte != '\t') || byte == 0x7F) {
      escape(byte);
    } else if (byte == 0xC2 && i + 1 < text.size() &&
               (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80) {
      // U+0080 to U+009F: the C1 controls, CSI among them.
      escape(byte);
      escape(static_cast<unsigned char>(text[++i]));
    } else {
      out += text[i];
    }
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
  WriteText(log_, WithUnixLineEnds(WithControlsEscaped(text)));
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
