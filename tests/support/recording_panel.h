#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "app/operator_panel.h"
#include "log/run_events.h"

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
  std::vector<std::string> deviceLines_;
};

// Keeps a run's events, for assertions.
class RecordingEvents final : public RunEventSink {
 public:
  void OnEvent(const RunEvent& event) override {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
  }
  std::vector<RunEvent> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  // The events of one kind, in order.
  template <typename Event>
  std::vector<Event> Of() const {
    std::vector<Event> found;
    for (const RunEvent& event : Events()) {
      if (const auto* e = std::get_if<Event>(&event)) found.push_back(*e);
    }
    return found;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<RunEvent> events_;
};

}  // namespace iapflash::testing
