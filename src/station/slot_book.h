#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "app/device_runs.h"
#include "discovery/device_table.h"

namespace iapflash {

// A slot whose board was not seen for this long has lost it. A board that restarts after its
// download (or switches into its boot program) comes back at its place sooner, so it is never
// taken for a new board and flashed twice.
inline constexpr uint64_t BOARD_GONE_AFTER_MS = 2000;

// A board that a look at the machine found in a slot.
struct BoardSighting {
  std::string key;     // the slot it is in: its USB location, or the port as given
  std::string port;    // the port it shows now
  std::string serial;  // its USB serial number; empty when it has none
  bool iap = false;    // it runs its boot program
  // The machine's scan lists it as an application (not its boot program); false when unknown.
  bool application = false;
  // What its run opens: the scan's entry; none: the port alone (--port slots).
  std::optional<DeviceEntry> entry;
};

enum class SlotState : uint8_t {
  Empty,    // no board
  Running,  // its board's run goes on
  Done,     // its board's run has ended: the slot waits for the board to leave
  Idle,     // a board is there that the station does not flash (its batch is complete)
};

struct SlotResult {
  bool success = false;
  bool interrupted = false;
  std::string failureLine;  // empty on success
};

struct Slot {
  std::size_t position = 0;
  std::string key;
  std::string port;      // the port of the first board seen there, or as given
  std::string location;  // the USB location; the port as given for --port slots
  SlotState state = SlotState::Empty;
  uint64_t board = 0;             // the number of its board; 0 before the first
  BoardSighting sighting;         // its board as it arrived
  std::set<std::string> serials;  // serial numbers its board showed since it arrived
  // One of them is its boot program's: it arrived in it, or a look saw it there since.
  bool bootSerialKnown = false;
  std::optional<uint64_t> unseenSinceMs;
  std::optional<uint64_t> doneSinceMs;  // the first look after its board's run had ended
  bool seenAfterRun = false;            // its board was seen after its run had ended
  // Its running board's result is out (its record may still be on its way to the disk).
  bool resultOut = false;
  std::optional<SlotResult> last;  // its last board's result
};

struct Tallies {
  uint64_t passed = 0;
  uint64_t failed = 0;       // interrupted runs not included
  uint64_t interrupted = 0;  // runs ended by a signal
  uint64_t inProgress = 0;
  double boardsPerHour = 0;  // ended runs per hour since the start; 0 before the first
};

// What a look changed, in order.
struct SlotAdded {
  std::size_t position;
};
struct BoardArrived {
  std::size_t position;
  uint64_t board;
  bool runs;      // false when the batch is complete: the board is left alone
  DeviceJob job;  // what its run opens
};
struct BoardLeft {
  std::size_t position;
  uint64_t board;
  bool duringRun;  // it went before its run had ended: not seen again after it
};
using SlotChange = std::variant<SlotAdded, BoardArrived, BoardLeft>;

// The station's slots and what they hold: each board that arrives in a slot gets one run, and
// the slot takes no other board until that one has left. Times in milliseconds of one clock.
// Not thread-safe: its owner serialises the calls.
class SlotBook {
 public:
  // count: a batch of that many runs, after which arriving boards are left alone.
  SlotBook(uint64_t startMs, std::optional<uint64_t> count);

  // A slot known from the start (--port), in order; returns its position. A book with such
  // slots takes boards in those slots only; one without makes a slot for each new key.
  std::size_t AddSlot(const std::string& key, const std::string& port, const std::string& location);

  // Everything a look at the machine found, all at once.
  std::vector<SlotChange> Look(const std::vector<BoardSighting>& present, uint64_t nowMs);

  // The result of the slot's running board is out: from here on the board may be swapped at
  // any moment, so a serial number seen in the slot is no longer taken as its board's.
  void ResultOut(std::size_t position);
  // The run of the slot's board has ended.
  void Finish(std::size_t position, const DeviceOutcome& outcome);

  Tallies Count(uint64_t nowMs) const;
  const std::vector<Slot>& Slots() const { return slots_; }
  // True once a batch's runs have all ended.
  bool BatchDone() const;
  uint64_t Finished() const { return finished_; }

 private:
  std::size_t SlotFor(const BoardSighting& sighting, std::vector<SlotChange>& changes);
  void Arrive(Slot& slot, const BoardSighting& sighting, std::vector<SlotChange>& changes);

  uint64_t startMs_;
  std::optional<uint64_t> count_;
  bool fixedSlots_ = false;
  std::vector<Slot> slots_;
  uint64_t boards_ = 0;   // boards that arrived
  uint64_t started_ = 0;  // runs started
  uint64_t finished_ = 0;
  uint64_t passed_ = 0;
  uint64_t failed_ = 0;
  uint64_t interrupted_ = 0;
};

}  // namespace iapflash
