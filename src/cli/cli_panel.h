#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/operator_panel.h"
#include "cli/progress.h"

namespace iapflash::cli {

// The command line's stand-in for the operator's window: the log pane is a stream (stdout), the
// selected device and the file path are what the command line says.
class CliPanel final : public OperatorPanel {
 public:
  // progress may be null (no terminal to draw on). With printDeviceLines the device list's
  // lines go to the log stream too (`list`); otherwise only the selection is kept.
  CliPanel(std::FILE* log, std::string filePath, bool printDeviceLines,
           ProgressView* progress = nullptr);

  // Each append is written whole and flushed, CR LF as LF, control characters escaped.
  void AppendLog(std::string_view text) override;
  int SelectedDevice() override;
  std::string FilePath() override { return filePath_; }
  void ShowDevices(const std::vector<std::string>& lines, int selected) override;

  void Select(int index);

 private:
  void WriteLocked(std::string_view text);

  std::mutex mutex_;
  std::FILE* log_;
  const std::string filePath_;
  const bool printDeviceLines_;
  ProgressView* progress_;
  int selected_ = -1;
};

// Control characters other than CR, LF and TAB (C0, DEL, C1) as "\x1B": text that a device sent
// must never drive the terminal that shows the log.
std::string WithControlsEscaped(std::string_view text);

// "\r\n" as "\n"; a lone CR stays.
std::string WithUnixLineEnds(std::string_view text);

}  // namespace iapflash::cli
