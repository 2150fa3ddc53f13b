#include "cli/station_view.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <variant>

#include "cli/line_report.h"
#include "cli/terminal.h"
#include "discovery/serial_discovery.h"

namespace iapflash::cli {
namespace {

constexpr std::size_t FAILURES_SHOWN = 5;
constexpr uint64_t REDRAW_EVERY_MS = 200;

double InSeconds(uint64_t ms) {
  return static_cast<double>(ms) / 1000.0;
}

__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...) {
  char text[256];
  va_list values;
  va_start(values, format);
  std::vsnprintf(text, sizeof text, format, values);
  va_end(values);
  return text;
}

std::string Column(const std::string& text, std::size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size() + 1, ' ');
}

std::string ResultText(const DeviceOutcome& outcome) {
  if (outcome.finished.success) return "success";
  const std::string what = outcome.interrupted ? "interrupted" : "failure";
  return what + " at " + std::to_string(static_cast<int>(outcome.finished.failedStep)) + "." +
         StepName(outcome.finished.failedStep) + ": " + outcome.FailureLine();
}

}  // namespace

std::string TalliesText(const Tallies& tallies) {
  using Count = unsigned long long;
  return Format(
      "%llu passed, %llu failed, %llu interrupted, %llu in progress; %.0f boards per hour",
      Count{tallies.passed}, Count{tallies.failed}, Count{tallies.interrupted},
      Count{tallies.inProgress}, tallies.boardsPerHour);
}

// ---- JSON

StationJson::StationJson(TextOut* out, TextOut& errors, Clock& clock)
    : errors_(errors), clock_(clock), startMs_(clock.NowMs()), out_(out), runs_(out_, clock) {}

void StationJson::LinesOut::Write(std::string_view text, TextKind kind) {
  if (copy) copy(text);
  if (out_) out_->Write(text, kind);
}

StationJson::Object StationJson::Start(const char* event) {
  Object object;
  object["event"] = event;
  object["elapsed"] = InSeconds(clock_.NowMs() - startMs_);
  return object;
}

void StationJson::Write(const Object& object) {
  out_.Write(object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

void StationJson::CopyLinesTo(const std::function<void(std::string_view)>& copy) {
  out_.copy = copy;
}

void StationJson::Started(const StationImage& image, std::optional<uint64_t> count, bool ports) {
  Object object = Start("station_started");
  object["watch"] = ports ? "ports" : "devices";
  object["image"] = {{"path", image.path}, {"length", image.length}, {"checksum", image.checksum}};
  object["count"] = count ? Object(*count) : Object(nullptr);
  Write(object);
}

void StationJson::Summary(const Tallies& tallies, int exitStatus) {
  Object object = Start("summary");
  object["devices"] = tallies.passed + tallies.failed + tallies.interrupted;
  object["succeeded"] = tallies.passed;
  object["failed"] = tallies.failed + tallies.interrupted;
  object["exit_status"] = exitStatus;
  Write(object);
}

void StationJson::OnLine(std::size_t position, std::string_view line) {
  runs_.OnLine(position, line);
}
void StationJson::OnEvent(std::size_t position, const RunEvent& event) {
  runs_.OnEvent(position, event);
}
void StationJson::OnDone(std::size_t position, const DeviceOutcome& outcome) {
  runs_.OnDone(position, outcome);
}

void StationJson::OnSlot(const Slot& slot) {
  slots_.push_back(DeviceJob{slot.port, std::nullopt});
  runs_.SetDevices(slots_, nullptr);
  Object object = Start("slot");
  object["position"] = slot.position;
  object["port"] = slot.port;
  object["location"] = slot.location;
  Write(object);
}

void StationJson::OnArrived(const Slot& slot, bool) {
  Object object = Start("board_arrived");
  object["position"] = slot.position;
  object["port"] = slot.port;
  object["board"] = slot.board;
  object["serial"] = slot.sighting.serial.empty() ? Object(nullptr) : Object(slot.sighting.serial);
  object["iap"] = slot.sighting.iap;
  Write(object);
}

void StationJson::OnLeft(const Slot& slot, uint64_t board, bool duringRun) {
  Object object = Start("board_left");
  object["position"] = slot.position;
  object["port"] = slot.port;
  object["board"] = board;
  object["during_run"] = duringRun;
  Write(object);
}

void StationJson::OnTallies(const Tallies& tallies) {
  Object object = Start("tallies");
  object["passed"] = tallies.passed;
  object["failed"] = tallies.failed;
  object["interrupted"] = tallies.interrupted;
  object["in_progress"] = tallies.inProgress;
  object["boards_per_hour"] = std::round(tallies.boardsPerHour * 10.0) / 10.0;
  Write(object);
}

void StationJson::OnRecordFailed(SystemError error) {
  errors_.Write("iapflash: a record could not be written: " + SystemErrorText(error) + "\n");
}

// ---- text

StationText::StationText(TextOut& out, TextOut& errors, Clock& clock, bool table)
    : out_(out), errors_(errors), clock_(clock), table_(table) {}

void StationText::Started(const std::string& file, const StationImage& image) {
  heading_ = "iapflash station: " + file +
             Format(" (%u bytes, checksum 0x%08X)", static_cast<unsigned>(image.length),
                    static_cast<unsigned>(image.checksum));
  if (table_) {
    Redraw(true);
  } else {
    out_.Write(heading_ + "\n");
  }
}

void StationText::Say(std::size_t position, const std::string& text) {
  if (table_ || position >= rows_.size()) return;
  out_.Write(DeviceLabel(position, rows_[position].port) + text + "\n");
}

void StationText::OnLine(std::size_t position, std::string_view line) {
  Say(position, std::string(line));
}

void StationText::OnEvent(std::size_t position, const RunEvent& event) {
  if (position >= rows_.size()) return;
  Row& row = rows_[position];
  if (const auto* started = std::get_if<StepStarted>(&event)) {
    row.step = std::to_string(static_cast<int>(started->step)) + "." + StepName(started->step);
    row.progress.clear();
  } else if (const auto* progress = std::get_if<PassProgress>(&event)) {
    if (progress->total > 0) {
      row.progress = Format("%3u%%", static_cast<unsigned>(progress->done * 100 / progress->total));
    }
  } else {
    return;
  }
  Redraw(false);
}

void StationText::OnDone(std::size_t position, const DeviceOutcome& outcome) {
  if (position >= rows_.size()) return;
  Row& row = rows_[position];
  row.state = "done";
  row.last = ResultText(outcome);
  if (!outcome.finished.success) {
    failures_.push_back(DeviceLabel(position, row.port) + "board " + std::to_string(row.board) +
                        ": " + row.last);
    if (failures_.size() > FAILURES_SHOWN) failures_.pop_front();
  }
  Say(position, "board " + std::to_string(row.board) + ": " + row.last +
                    Format(" (%.1f s)", InSeconds(outcome.ms)));
  Redraw(true);
}

void StationText::OnSlot(const Slot& slot) {
  rows_.resize(std::max(rows_.size(), slot.position + 1));
  rows_[slot.position].port = slot.port;
  rows_[slot.position].location = slot.location;
  Say(slot.position, "slot at " + slot.location);
  Redraw(true);
}

void StationText::OnArrived(const Slot& slot, bool runs) {
  if (slot.position >= rows_.size()) return;
  Row& row = rows_[slot.position];
  row.board = slot.board;
  row.state = runs ? "running" : "idle";
  row.step.clear();
  row.progress.clear();
  const std::string serial =
      slot.sighting.serial.empty() ? "no serial number" : "serial " + slot.sighting.serial;
  Say(slot.position, "board " + std::to_string(slot.board) + " arrived on " + slot.sighting.port +
                         " (" + serial + ")" + (runs ? "" : "; the batch is complete"));
  Redraw(true);
}

void StationText::OnLeft(const Slot& slot, uint64_t board, bool duringRun) {
  if (slot.position >= rows_.size()) return;
  rows_[slot.position].state = "empty";
  rows_[slot.position].step.clear();
  rows_[slot.position].progress.clear();
  Say(slot.position,
      "board " + std::to_string(board) + (duringRun ? " left during its run" : " left"));
  Redraw(true);
}

void StationText::OnTallies(const Tallies& tallies) {
  tallies_ = tallies;
  Redraw(true);
}

void StationText::OnRecordFailed(SystemError error) {
  errors_.Write("iapflash: a record could not be written: " + SystemErrorText(error) + "\n");
  drawnLines_ = 0;  // the table starts again below the message
}

std::string StationText::Table() const {
  std::string text = heading_ + "\n";
  text += "SLOT PORT       LOCATION                 STATE    BOARD STEP         PROGRESS LAST\n";
  for (std::size_t k = 0; k < rows_.size(); ++k) {
    const Row& row = rows_[k];
    std::string last = CutText(row.last, 61);
    if (last.size() < row.last.size()) last += "...";
    text += Format("%4llu ", static_cast<unsigned long long>(k)) + Column(row.port, 10) +
            Column(row.location, 24) + Column(row.state, 8) +
            Format("%5llu ", static_cast<unsigned long long>(row.board)) + Column(row.step, 12) +
            Column(row.progress, 8) + last + "\n";
  }
  text += "Tallies: " + TalliesText(tallies_) + "\n";
  if (!failures_.empty()) {
    text += "Last failures:\n";
    for (const std::string& failure : failures_) text += "  " + failure + "\n";
  }
  return text;
}

void StationText::Redraw(bool now) {
  if (!table_) return;
  const uint64_t at = clock_.NowMs();
  if (!now && at - drawnMs_ < REDRAW_EVERY_MS) return;
  drawnMs_ = at;
  const std::string table = Table();
  std::string out;
  // Back to the table's first line, and everything below it cleared.
  if (drawnLines_ > 0) out += Format("\x1b[%lluA\r", static_cast<unsigned long long>(drawnLines_));
  out += "\x1b[J" + table;
  drawnLines_ = static_cast<std::size_t>(std::count(table.begin(), table.end(), '\n'));
  out_.Write(out);
}

void StationText::Finish(const Tallies& tallies) {
  tallies_ = tallies;
  if (table_) {
    Redraw(true);
  } else {
    out_.Write("Tallies: " + TalliesText(tallies) + "\n");
  }
}

}  // namespace iapflash::cli
