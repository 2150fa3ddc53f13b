#include "station/station_run.h"

#include <algorithm>

namespace iapflash {

// One run's report on its way to the station's: position 0 of its RunDevices is the slot's.
class StationRun::SlotRunReport final : public DeviceRunsReport {
 public:
  SlotRunReport(StationRun& station, std::size_t position)
      : station_(station), position_(position) {}
  void OnLine(std::size_t, std::string_view line) override {
    std::lock_guard lock(station_.mutex_);
    station_.report_.OnLine(position_, line);
  }
  void OnEvent(std::size_t, const RunEvent& event) override {
    std::lock_guard lock(station_.mutex_);
    station_.report_.OnEvent(position_, event);
  }
  void OnDone(std::size_t, const DeviceOutcome& outcome) override {
    std::lock_guard lock(station_.mutex_);
    station_.book_.ResultOut(position_);
    station_.report_.OnDone(position_, outcome);
  }

 private:
  StationRun& station_;
  std::size_t position_;
};

StationRun::StationRun(const StationSetup& setup, BoardWatch& watch, HotplugWatch& hotplug,
                       StationReport& report, RecordFile* records, std::function<bool()> stopped,
                       WallClock wallClock)
    : setup_(setup),
      watch_(watch),
      hotplug_(hotplug),
      report_(report),
      records_(records),
      stopped_(std::move(stopped)),
      wallClock_(std::move(wallClock)),
      book_(setup.seams.clock.NowMs(), setup.count) {
  for (const std::string& port : setup_.ports) book_.AddSlot(port, port, port);
}

StationRun::~StationRun() {
  workers_.clear();  // joins
}

Tallies StationRun::Run() {
  {
    std::lock_guard lock(mutex_);
    for (const Slot& slot : book_.Slots()) report_.OnSlot(slot);
  }
  const auto inUse = [this](const std::string& key) {
    std::lock_guard lock(mutex_);
    const auto& slots = book_.Slots();
    return std::any_of(slots.begin(), slots.end(), [&](const Slot& slot) {
      return slot.key == key && slot.state == SlotState::Running;
    });
  };
  while (!stopped_()) {
    runEnded_ = false;
    const std::vector<BoardSighting> boards = watch_.Look(inUse);
    {
      std::lock_guard lock(mutex_);
      Handle(book_.Look(boards, setup_.seams.clock.NowMs()));
      if (book_.BatchDone()) break;
    }
    Reap();
    WaitForNextLook();
  }
  workers_.clear();  // each run ends by itself, or through the cancelled ports
  std::lock_guard lock(mutex_);
  return book_.Count(setup_.seams.clock.NowMs());
}

// Caller holds mutex_.
void StationRun::Handle(const std::vector<SlotChange>& changes) {
  for (const SlotChange& change : changes) {
    if (const auto* added = std::get_if<SlotAdded>(&change)) {
      report_.OnSlot(book_.Slots()[added->position]);
    } else if (const auto* arrived = std::get_if<BoardArrived>(&change)) {
      report_.OnArrived(book_.Slots()[arrived->position], arrived->runs);
      if (arrived->runs) {
        report_.OnTallies(book_.Count(setup_.seams.clock.NowMs()));
        StartRun(arrived->position, arrived->job);
      }
    } else if (const auto* left = std::get_if<BoardLeft>(&change)) {
      report_.OnLeft(book_.Slots()[left->position], left->board, left->duringRun);
    }
  }
}

void StationRun::StartRun(std::size_t position, const DeviceJob& job) {
  Worker& worker = workers_.emplace_back();
  worker.thread = std::jthread([this, position, job, &worker] { RunBoard(position, job, worker); });
}

void StationRun::RunBoard(std::size_t position, DeviceJob job, Worker& worker) {
  SlotRunReport report(*this, position);
  const std::vector<DeviceOutcome> outcomes =
      RunDevices(setup_.seams, setup_.path, {std::move(job)}, report, setup_.limits,
                 setup_.heldFile ? &*setup_.heldFile : nullptr);
  // The record goes whole onto the disk while the slot still counts its board as running, so
  // the slot cannot take another board first. The disk's flush holds only the other records,
  // never the other slots' runs, which report under mutex_.
  bool recorded = true;
  SystemError error = 0;
  if (records_) {
    std::string line;
    {
      std::lock_guard lock(mutex_);
      const Slot& slot = book_.Slots()[position];
      line = RecordLine({wallClock_(), position, slot.sighting.port, slot.location,
                         slot.sighting.serial, slot.board, setup_.image, outcomes.front()});
    }
    std::lock_guard lock(recordsMutex_);
    recorded = records_->Append(line, error);
  }
  {
    std::lock_guard lock(mutex_);
    book_.Finish(position, outcomes.front());
    runEnded_ = true;  // the next look comes at once: the board may have been swapped already
    if (!recorded) {
      ++recordsLost_;
      report_.OnRecordFailed(error);
    }
    report_.OnTallies(book_.Count(setup_.seams.clock.NowMs()));
  }
  worker.done = true;
}

uint64_t StationRun::RecordsLost() {
  std::lock_guard lock(mutex_);
  return recordsLost_;
}

void StationRun::WaitForNextLook() {
  for (uint32_t waited = 0; waited < STATION_LOOK_INTERVAL_MS && !stopped_();) {
    if (runEnded_) return;
    const bool running = std::any_of(workers_.begin(), workers_.end(),
                                     [](const Worker& worker) { return !worker.done; });
    const uint32_t slice =
        running ? std::min(STATION_RUN_END_LOOK_MS, STATION_LOOK_INTERVAL_MS - waited)
                : STATION_LOOK_INTERVAL_MS - waited;
    if (hotplug_.Wait(slice)) return;
    waited += slice;
  }
}

void StationRun::Reap() {
  std::erase_if(workers_, [](const Worker& worker) { return worker.done.load(); });
}

}  // namespace iapflash
