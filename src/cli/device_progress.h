#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/device_runs.h"
#include "cli/output_queue.h"
#include "cli/progress.h"
#include "log/run_events.h"
#include "platform/clock.h"

namespace iapflash::cli {

// One progress line per device on a terminal (stderr), as a block redrawn in place under the
// log: "[N PORT] " and the device's step, its bar while it programs and verifies, then its result.
// A redraw in place may be dropped when the terminal falls behind (the next one shows more).
// Not synchronized: the caller holds one lock around every call and around the log's writes.
class DeviceProgressLines {
 public:
  // labels: each device's "[N PORT] ". sharesLogTerminal: the log goes to the same terminal, so
  // the block is taken away before each log write and drawn again after it.
  // rows: the terminal's height (0 or none: unknown); a block taller than it fits shows its
  // first devices and how many more there are.
  DeviceProgressLines(TextOut& terminal, Clock& clock, bool sharesLogTerminal,
                      std::function<int()> columns, std::vector<std::string> labels,
                      std::function<int()> rows = {});
  DeviceProgressLines(const DeviceProgressLines&) = delete;
  DeviceProgressLines& operator=(const DeviceProgressLines&) = delete;

  void OnEvent(std::size_t position, const RunEvent& event);
  void OnDone(std::size_t position, const DeviceOutcome& outcome);
  void BeforeLog();
  void AfterLog();
  // Draws the block as it ends; it stays on the terminal.
  void Finish();

  // The device's line, cut to width columns.
  std::string Line(std::size_t position, int width) const;

 private:
  struct Device {
    explicit Device(Clock& clock) : progress(clock) {}
    DownloadProgress progress;
    std::optional<RunStep> step;
    bool switching = false;  // the mode switch's request went out, the device not yet found
    std::optional<DeviceOutcome> outcome;
    uint64_t drawnKiB = 0;
  };

  void Erase();
  void Draw(bool last = false);

  TextOut& terminal_;
  Clock& clock_;
  bool sharesLogTerminal_;
  std::function<int()> columns_;
  std::function<int()> rows_;
  std::vector<std::string> labels_;
  std::vector<Device> devices_;
  int drawnLines_ = 0;
  uint64_t drawnAtMs_ = 0;
  bool finished_ = false;
};

}  // namespace iapflash::cli
