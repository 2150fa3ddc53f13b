#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/operator_panel.h"

namespace iapflash::testing {

// An operator panel that records what the core does to it, for assertions.
class RecordingPanel final : public OperatorPanel {
 public:
  void AppendLog(std::string_view text) override {
    std::lock_guard lock(mutex_);
    log_.append(text);
    appends_.emplace_back(text);
  }
  int SelectedDevice() override {
    std::lock_guard lock(mutex_);
    return selected_;
  }
  std::string FilePath() override {
    std::lock_guard lock(mutex_);
    return path_;
  }
  void SetDownloadEnabled(bool enabled) override {
    std::lock_guard lock(mutex_);
    buttonStates_.push_back(enabled);
  }
  void PostDeviceScan() override {
    std::lock_guard lock(mutex_);
    ++postedScans_;
  }
  void ShowDevices(const std::vector<std::string>& lines, int selected) override {
    std::lock_guard lock(mutex_);
    deviceLines_ = lines;
    selected_ = selected;
  }

  void Select(int index) {
    std::lock_guard lock(mutex_);
    selected_ = index;
  }
  void SetPath(std::string path) {
    std::lock_guard lock(mutex_);
    path_ = std::move(path);
  }
  // The pane's whole text, with the Windows line ends as they were appended.
  std::string Log() const {
    std::lock_guard lock(mutex_);
    return log_;
  }
  // The pane's text split into lines at "\r\n" (a trailing partial line included).
  std::vector<std::string> Lines() const;
  std::vector<std::string> Appends() const {
    std::lock_guard lock(mutex_);
    return appends_;
  }
  std::vector<bool> ButtonStates() const {
    std::lock_guard lock(mutex_);
    return buttonStates_;
  }
  int PostedScans() const {
    std::lock_guard lock(mutex_);
    return postedScans_;
  }
  std::vector<std::string> DeviceLines() const {
    std::lock_guard lock(mutex_);
    return deviceLines_;
  }
  void ClearLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
    appends_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::string log_;
  std::vector<std::string> appends_;
  int selected_ = -1;
  std::string path_;
  std::vector<bool> buttonStates_;
  int postedScans_ = 0;
  std::vector<std::string> deviceLines_;
};

}  // namespace iapflash::testing
