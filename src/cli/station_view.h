#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/json_events.h"
#include "cli/output_queue.h"
#include "platform/clock.h"
#include "station/station_run.h"

namespace iapflash::cli {

// station --json: the run objects of `flash --json` with each slot's position and port, and the
// station's own objects (docs/json-events.md). out (none: only the copy) and errors are the
// command's writer's streams, so a reader that stalls never holds the station.
class StationJson final : public StationReport {
 public:
  StationJson(TextOut* out, TextOut& errors, Clock& clock);

  void Started(const StationImage& image, std::optional<uint64_t> count, bool ports);
  void Summary(const Tallies& tallies, int exitStatus);
  // Every object's line (with its line end) also goes to copy; out may then be null.
  void CopyLinesTo(const std::function<void(std::string_view)>& copy);

  void OnLine(std::size_t position, std::string_view line) override;
  void OnEvent(std::size_t position, const RunEvent& event) override;
  void OnDone(std::size_t position, const DeviceOutcome& outcome) override;
  void OnSlot(const Slot& slot) override;
  void OnArrived(const Slot& slot, bool runs) override;
  void OnLeft(const Slot& slot, uint64_t board, bool duringRun) override;
  void OnTallies(const Tallies& tallies) override;
  void OnRecordFailed(SystemError error) override;

 private:
  using Object = nlohmann::ordered_json;
  Object Start(const char* event);
  void Write(const Object& object);

  // Each object's line to out (none when null) and to copy.
  class LinesOut final : public TextOut {
   public:
    explicit LinesOut(TextOut* out) : out_(out) {}
    void Write(std::string_view text, TextKind kind = TextKind::Log) override;
    std::function<void(std::string_view)> copy;

   private:
    TextOut* out_;
  };

  TextOut& errors_;
  Clock& clock_;
  uint64_t startMs_;
  LinesOut out_;  // the run objects go out at once, under the station's lock
  JsonEvents runs_;
  std::vector<DeviceJob> slots_;  // each slot's port, for the run objects
};

// Without --json: each slot's lines labelled "[N PORT] " (its runs' log lines and the station's
// own: a board arrived, its result, it left) on out, or, when out is a terminal, a table of the
// slots redrawn in place with the tallies and the last failures.
class StationText final : public StationReport {
 public:
  // out and errors: the command's writer's streams.
  StationText(TextOut& out, TextOut& errors, Clock& clock, bool table);

  void Started(const std::string& file, const StationImage& image);
  // The last table, then the tallies' lines.
  void Finish(const Tallies& tallies);

  void OnLine(std::size_t position, std::string_view line) override;
  void OnEvent(std::size_t position, const RunEvent& event) override;
  void OnDone(std::size_t position, const DeviceOutcome& outcome) override;
  void OnSlot(const Slot& slot) override;
  void OnArrived(const Slot& slot, bool runs) override;
  void OnLeft(const Slot& slot, uint64_t board, bool duringRun) override;
  void OnTallies(const Tallies& tallies) override;
  void OnRecordFailed(SystemError error) override;

  // The table as it stands, without the cursor movements that redraw it.
  std::string Table() const;

 private:
  struct Row {
    std::string port;
    std::string location;
    std::string state = "empty";
    std::string step;
    std::string progress;
    uint64_t board = 0;
    std::string last;
  };
  void Say(std::size_t position, const std::string& text);
  void Redraw(bool now);

  TextOut& out_;
  TextOut& errors_;
  Clock& clock_;
  bool table_;
  std::string heading_;
  std::vector<Row> rows_;
  Tallies tallies_;
  std::deque<std::string> failures_;  // the last ones, newest last
  uint64_t drawnMs_ = 0;
  std::size_t drawnLines_ = 0;
};

// "5 passed, 4 failed, 0 interrupted, 0 in progress; 1800 boards per hour"
std::string TalliesText(const Tallies& tallies);

}  // namespace iapflash::cli
