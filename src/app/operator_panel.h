#pragma once

#include <string>
#include <vector>

#include "log/log.h"

namespace iapflash {

// What the window's commands and the download run ask of the operator's window (or of the
// command line standing in for it). Its log is where their lines go.
class OperatorPanel : public LogSink {
 public:
  // Index of the selected device list line, -1 when none.
  virtual int SelectedDevice() = 0;
  // The update file path as the path control holds it (UTF-8).
  virtual std::string FilePath() = 0;
  // Replaces the device list's lines and selects one (-1: no selection). Window's thread.
  virtual void ShowDevices(const std::vector<std::string>& lines, int selected) = 0;
};

}  // namespace iapflash
