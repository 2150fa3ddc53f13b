#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace iapflash {

// What the core needs of the operator's window (or of the command line standing in for it).
class OperatorPanel {
 public:
  virtual ~OperatorPanel() = default;
  // Appends text (UTF-8) at the end of the log pane, whole, and returns once it is there.
  // Callable from any thread.
  virtual void AppendLog(std::string_view text) = 0;
  // Index of the selected device list line, -1 when none.
  virtual int SelectedDevice() = 0;
  // The update file path as the path control holds it (UTF-8).
  virtual std::string FilePath() = 0;
  virtual void SetDownloadEnabled(bool enabled) = 0;
  // Asks the window's thread to run a device scan (a posted click on find devices).
  virtual void PostDeviceScan() = 0;
  // Replaces the device list's lines and selects one (-1: no selection). Window's thread.
  virtual void ShowDevices(const std::vector<std::string>& lines, int selected) = 0;
};

}  // namespace iapflash
