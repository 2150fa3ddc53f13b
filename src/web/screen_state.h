#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace iapflash::web {

// Event and record lines as the page gets them: the JSON text as the station wrote it, with
// '<', '>' and '&' written as \u003c, \u003e and \u0026 (the same object), so that no text a
// device or a file name brought can read as markup wherever the line lands. Empty when the line
// is not one JSON object.
std::string PageLine(std::string_view jsonLine);

// What a viewer that connects now needs to draw the station as it is: the last state of each
// slot, the tallies and the last records, kept from the lines the station published. Not
// thread-safe: its owner serialises the calls.
class ScreenState {
 public:
  explicit ScreenState(std::size_t recordsKept, std::size_t recordsShown = 50)
      : recordsKept_(recordsKept), recordsShown_(recordsShown) {}

  // Takes one event line (already a PageLine) into the state.
  void AddEvent(const std::string& pageLine);
  // Takes one record line (already a PageLine).
  void AddRecord(const std::string& pageLine);

  // The event lines a new viewer replays, in the order they were published: the station's
  // start, each slot's last slot / board / step / progress / result objects, the last tallies
  // and summary. Drawn in this order they leave the page as the full stream would.
  std::vector<std::string> SnapshotEvents() const;
  // The last `recordsShown` records, oldest first.
  std::vector<std::string> LastRecords() const;
  // Every record kept (the last `recordsKept`), oldest first, as a JSON array.
  std::string RecordsArray() const;

 private:
  struct Kept {
    uint64_t order = 0;
    std::string line;
  };
  void Keep(const std::string& key, const std::string& line);

  std::size_t recordsKept_;
  std::size_t recordsShown_;
  uint64_t next_ = 0;
  std::map<std::string, Kept> kept_;  // by "event" (and "event/position" for a slot's objects)
  std::deque<std::string> records_;
};

}  // namespace iapflash::web
