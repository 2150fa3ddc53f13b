#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/device_runs.h"
#include "platform/hotplug.h"
#include "platform/record_file.h"
#include "station/attempt_record.h"
#include "station/board_watch.h"
#include "station/slot_book.h"

namespace iapflash {

// How often a station looks at its slots, also without a device event: a board's leaving is
// confirmed on these looks, and ports watched by opening them give no event.
inline constexpr uint32_t STATION_LOOK_INTERVAL_MS = 250;
// While runs go on, how soon after one ends the station looks again: the operator takes the
// finished board out and puts the next in as soon as the result is out, and a slot whose board
// tells its serial number takes the next at once.
inline constexpr uint32_t STATION_RUN_END_LOOK_MS = 20;

// Where a station reports. Its calls never overlap (the station serialises them), from
// whichever thread; a run's calls carry its slot's position.
class StationReport : public DeviceRunsReport {
 public:
  virtual void OnSlot(const Slot& slot) = 0;
  // The slot's board and its number are in slot; runs: whether it gets a run.
  virtual void OnArrived(const Slot& slot, bool runs) = 0;
  virtual void OnLeft(const Slot& slot, uint64_t board, bool duringRun) = 0;
  virtual void OnTallies(const Tallies& tallies) = 0;
  // A record could not be written (the station goes on; the line is lost).
  virtual void OnRecordFailed(SystemError error) = 0;
};

struct StationSetup {
  DeviceRunSeams seams;  // what the runs work through (a signal's cancel switch)
  std::string path;      // the update file
  StationImage image;    // as loaded at the start
  DeviceRunLimits limits;
  std::optional<uint64_t> count;  // a batch of that many runs
  // The --port slots, in order; empty: a slot per USB location found.
  std::vector<std::string> ports;
  // The update file's bytes as read at the start, which every board's run loads: the image the
  // station announced and records is the one each board gets, whatever becomes of the file
  // meanwhile. None: each run reads the file.
  std::optional<std::vector<uint8_t>> heldFile = std::nullopt;
};

// Watches for boards, gives each arriving board one run on the run path of `flash --all`
// (each in its own thread, up to one per slot at once), keeps the tallies and appends a record
// of each run to records before its slot takes another board.
class StationRun {
 public:
  using WallClock = std::function<std::chrono::system_clock::time_point()>;
  // records may be null. stopped: asked before each look; true ends the station (its runs have
  // been cancelled by the caller and end through their own path).
  StationRun(const StationSetup& setup, BoardWatch& watch, HotplugWatch& hotplug,
             StationReport& report, RecordFile* records, std::function<bool()> stopped,
             WallClock wallClock);
  ~StationRun();
  StationRun(const StationRun&) = delete;
  StationRun& operator=(const StationRun&) = delete;

  // Runs until stopped or, with a count, until that many runs have ended; every run has ended
  // when it returns. Returns the final tallies.
  Tallies Run();
  // Records that could not be written (each said through OnRecordFailed).
  uint64_t RecordsLost();

 private:
  class SlotRunReport;
  struct Worker {
    std::jthread thread;
    std::atomic<bool> done{false};
  };

  void Handle(const std::vector<SlotChange>& changes);
  void StartRun(std::size_t position, const DeviceJob& job);
  void RunBoard(std::size_t position, DeviceJob job, Worker& worker);
  void Reap();
  // Until the next look is due: the look interval, a device event, or a run's end.
  void WaitForNextLook();

  StationSetup setup_;
  BoardWatch& watch_;
  HotplugWatch& hotplug_;
  StationReport& report_;
  RecordFile* records_;
  std::function<bool()> stopped_;
  WallClock wallClock_;

  std::mutex mutex_;         // the book, the report
  std::mutex recordsMutex_;  // the records: one line at a time
  SlotBook book_;
  uint64_t recordsLost_ = 0;
  std::list<Worker> workers_;          // touched by the station's own thread only
  std::atomic<bool> runEnded_{false};  // a run has ended since the last look began
};

}  // namespace iapflash
