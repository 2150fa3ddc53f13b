#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "app/device_runs.h"
#include "app/operator_panel.h"
#include "cli/device_progress.h"
#include "cli/output_queue.h"
#include "discovery/device_table.h"
#include "platform/clock.h"

namespace iapflash::cli {

// `flash --json`: one JSON object per line on stdout for everything the command does (the
// schema is docs/json-events.md). Thread-safe: the runs write from their own threads; each
// object goes out whole, in one write; progress objects may be dropped when the reader falls
// behind.
class JsonEvents final : public DeviceRunsReport {
 public:
  // Seconds in every object count from now.
  JsonEvents(TextOut& out, Clock& clock);

  // The devices a scan found.
  void Scan(const DeviceTable& devices);
  // A log line that belongs to no device (the scan's count line).
  void Line(std::string_view line);
  // The devices the runs go to, in position order, and their progress lines on a terminal (may
  // be null); before the runs start.
  void SetDevices(const std::vector<DeviceJob>& jobs, DeviceProgressLines* progress);

  void OnLine(std::size_t position, std::string_view line) override;
  void OnEvent(std::size_t position, const RunEvent& event) override;
  void OnDone(std::size_t position, const DeviceOutcome& outcome) override;

  void Summary(const std::vector<DeviceOutcome>& outcomes, int exitStatus);

 private:
  using Object = nlohmann::ordered_json;
  Object Start(const char* event) const;
  Object StartFor(const char* event, std::size_t position) const;
  void Write(const Object& object, TextKind kind = TextKind::Log);

  std::mutex mutex_;
  TextOut& out_;
  Clock& clock_;
  uint64_t startMs_;
  DeviceProgressLines* progress_ = nullptr;
  std::vector<std::string> ports_;
  std::vector<int64_t> progressShown_;  // per device: bytes done when progress was last written
};

// The command line's panel during a --json command's scan: its log lines become log objects.
class JsonScanPanel final : public OperatorPanel {
 public:
  explicit JsonScanPanel(JsonEvents& events) : events_(events) {}
  void AppendLog(std::string_view text) override;
  int SelectedDevice() override { return selected_; }
  std::string FilePath() override { return {}; }
  void ShowDevices(const std::vector<std::string>& lines, int selected) override;

 private:
  JsonEvents& events_;
  WholeLines lines_;
  int selected_ = -1;
};

}  // namespace iapflash::cli
