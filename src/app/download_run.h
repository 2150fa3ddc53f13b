#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/station.h"
#include "discovery/device_table.h"
#include "link/link.h"
#include "log/run_events.h"

namespace iapflash {

// What a run asks of whoever started it, each at the moment the run needs it (so the log reads
// as it always has).
class RunInputs {
 public:
  virtual ~RunInputs() = default;
  // The update file's path (UTF-8); asked for at step 1.
  virtual std::string FilePath() = 0;
  // The device to download into; asked for at step 2. Nothing when none is selected.
  virtual std::optional<DeviceEntry> Device() = 0;
  // The update file's bytes as read once before the run, or null: step 1 loads these (with the
  // same checks and messages) instead of reading the file again.
  virtual const std::vector<uint8_t>* HeldFile() { return nullptr; }
};

// Inputs handed over up front: a path (and perhaps the file's bytes, which must outlive the
// run) and a device.
class FixedRunInputs final : public RunInputs {
 public:
  FixedRunInputs(std::string path, std::optional<DeviceEntry> device,
                 const std::vector<uint8_t>* heldFile = nullptr)
      : path_(std::move(path)), device_(std::move(device)), heldFile_(heldFile) {}
  std::string FilePath() override { return path_; }
  std::optional<DeviceEntry> Device() override { return device_; }
  const std::vector<uint8_t>* HeldFile() override { return heldFile_; }

 private:
  std::string path_;
  std::optional<DeviceEntry> device_;
  const std::vector<uint8_t>* heldFile_;
};

// A station's inputs: the path its panel holds and the device selected in its list.
class StationInputs final : public RunInputs {
 public:
  explicit StationInputs(Station& station) : station_(station) {}
  std::string FilePath() override { return station_.panel.FilePath(); }
  // An index the table does not hold counts as no selection, so nothing stale is ever read.
  std::optional<DeviceEntry> Device() override;

 private:
  Station& station_;
};

// Everything one run works through and reports to; nothing else. Each run has its own, so
// several runs can go on side by side.
struct RunContext {
  LinkEnv env;
  RunInputs& inputs;
};

// One whole download: load, open, start, program, verify, end, reset, close, summary. Logs every
// line to the context's log, emits the run's events and ends with RunFinished, which it returns.
RunFinished DownloadRun(RunContext& run);

// A run at a station, with the station's seams, its panel as the log and its inputs.
RunFinished DownloadRunAt(Station& station, RunEventSink& events);

}  // namespace iapflash
