#include "station/slot_book.h"

#include <algorithm>

namespace iapflash {

SlotBook::SlotBook(uint64_t startMs, std::optional<uint64_t> count)
    : startMs_(startMs), count_(count) {}

std::size_t SlotBook::AddSlot(const std::string& key, const std::string& port,
                              const std::string& location) {
  fixedSlots_ = true;
  Slot slot;
  slot.position = slots_.size();
  slot.key = key;
  slot.port = port;
  slot.location = location;
  slots_.push_back(std::move(slot));
  return slots_.back().position;
}

std::size_t SlotBook::SlotFor(const BoardSighting& sighting, std::vector<SlotChange>& changes) {
  const auto found = std::find_if(slots_.begin(), slots_.end(),
                                  [&](const Slot& slot) { return slot.key == sighting.key; });
  if (found != slots_.end()) return found->position;
  if (fixedSlots_) return slots_.size();
  // A device without a USB location at the port of a board that is there: that board, caught by
  // a scan while it leaves or changes (its location read after its hub node had gone). It never
  // makes a slot of its own, or the board would be flashed twice in one insertion.
  if (sighting.key == sighting.port) {
    const auto holder = std::find_if(slots_.begin(), slots_.end(), [&](const Slot& slot) {
      return slot.state != SlotState::Empty && slot.key != slot.sighting.port &&
             slot.sighting.port == sighting.port;
    });
    if (holder != slots_.end()) return holder->position;
  }
  Slot slot;
  slot.position = slots_.size();
  slot.key = sighting.key;
  slot.port = sighting.port;
  slot.location = sighting.key;
  slots_.push_back(std::move(slot));
  changes.push_back(SlotAdded{slots_.back().position});
  return slots_.back().position;
}

void SlotBook::Arrive(Slot& slot, const BoardSighting& sighting, std::vector<SlotChange>& changes) {
  slot.board = ++boards_;
  slot.sighting = sighting;
  slot.serials.clear();
  if (!sighting.serial.empty()) slot.serials.insert(sighting.serial);
  slot.bootSerialKnown = !sighting.serial.empty() && !sighting.application;
  slot.unseenSinceMs.reset();
  slot.doneSinceMs.reset();
  slot.seenAfterRun = false;
  slot.resultOut = false;
  const bool runs = !count_ || started_ < *count_;
  slot.state = runs ? SlotState::Running : SlotState::Idle;
  if (runs) ++started_;
  changes.push_back(
      BoardArrived{slot.position, slot.board, runs, DeviceJob{slot.port, sighting.entry}});
}

std::vector<SlotChange> SlotBook::Look(const std::vector<BoardSighting>& present, uint64_t nowMs) {
  std::vector<SlotChange> changes;
  for (Slot& slot : slots_) {
    if (slot.state == SlotState::Done && !slot.doneSinceMs) slot.doneSinceMs = nowMs;
  }
  std::vector<bool> seen(slots_.size(), false);
  for (const BoardSighting& sighting : present) {
    const std::size_t position = SlotFor(sighting, changes);
    if (position >= slots_.size()) continue;  // not one of the --port slots
    seen.resize(slots_.size(), false);
    if (seen[position]) continue;  // a device listed twice
    seen[position] = true;
    Slot& slot = slots_[position];
    // Another serial number than any its board showed: the board was swapped faster than
    // BOARD_GONE_AFTER_MS. A run is never cut short for it. But an application that turns up
    // with a new serial number soon after the run may be the board itself, restarted into its
    // new firmware (which need not show the serial number of its boot program or of its old
    // application): then only its time away tells.
    // Likewise a boot program under a new serial number in a slot whose board came as an
    // application and was never seen in its boot program: it may be that board, left in its boot
    // program by its run (whose switch no look happened to see).
    const bool maybeRestarted =
        sighting.application ? !slot.doneSinceMs || nowMs - *slot.doneSinceMs < BOARD_GONE_AFTER_MS
                             : !slot.bootSerialKnown;
    const bool swapped = slot.state != SlotState::Empty && slot.state != SlotState::Running &&
                         !sighting.serial.empty() && !slot.serials.empty() &&
                         slot.serials.count(sighting.serial) == 0 && !maybeRestarted;
    if (swapped) {
      changes.push_back(BoardLeft{position, slot.board, false});
      slot.state = SlotState::Empty;
    }
    if (slot.state == SlotState::Empty) {
      Arrive(slot, sighting, changes);
      continue;
    }
    slot.unseenSinceMs.reset();
    if (slot.state != SlotState::Running) slot.seenAfterRun = true;
    // Once its result is out, the next board may already be in the slot before the run has
    // ended: its serial number must still tell it from the board before.
    const bool ownSerial = slot.state != SlotState::Running || !slot.resultOut;
    if (!sighting.serial.empty() && ownSerial) {
      slot.serials.insert(sighting.serial);
      if (!sighting.application) slot.bootSerialKnown = true;
    }
  }
  seen.resize(slots_.size(), false);
  for (Slot& slot : slots_) {
    if (seen[slot.position] || slot.state == SlotState::Empty) continue;
    if (!slot.unseenSinceMs) slot.unseenSinceMs = nowMs;
    // A running board's absence is its run's business: the run fails by itself if it is gone.
    if (slot.state == SlotState::Running || nowMs - *slot.unseenSinceMs < BOARD_GONE_AFTER_MS) {
      continue;
    }
    const bool duringRun = slot.state == SlotState::Done && !slot.seenAfterRun;
    changes.push_back(BoardLeft{slot.position, slot.board, duringRun});
    slot.state = SlotState::Empty;
    slot.unseenSinceMs.reset();
  }
  return changes;
}

void SlotBook::ResultOut(std::size_t position) {
  if (position < slots_.size() && slots_[position].state == SlotState::Running) {
    slots_[position].resultOut = true;
  }
}

void SlotBook::Finish(std::size_t position, const DeviceOutcome& outcome) {
  if (position >= slots_.size() || slots_[position].state != SlotState::Running) return;
  Slot& slot = slots_[position];
  slot.state = SlotState::Done;
  // A board whose run succeeded answered to its run's end: whenever it goes now, it goes after.
  slot.seenAfterRun = outcome.finished.success;
  slot.last = SlotResult{outcome.finished.success, outcome.interrupted, outcome.FailureLine()};
  ++finished_;
  if (outcome.finished.success) {
    ++passed_;
  } else if (outcome.interrupted) {
    ++interrupted_;
  } else {
    ++failed_;
  }
}

Tallies SlotBook::Count(uint64_t nowMs) const {
  Tallies tallies;
  tallies.passed = passed_;
  tallies.failed = failed_;
  tallies.interrupted = interrupted_;
  tallies.inProgress = started_ - finished_;
  const uint64_t elapsedMs = nowMs > startMs_ ? nowMs - startMs_ : 0;
  if (finished_ > 0 && elapsedMs > 0) {
    tallies.boardsPerHour =
        static_cast<double>(finished_) * 3600000.0 / static_cast<double>(elapsedMs);
  }
  return tallies;
}

bool SlotBook::BatchDone() const {
  return count_ && finished_ >= *count_;
}

}  // namespace iapflash
