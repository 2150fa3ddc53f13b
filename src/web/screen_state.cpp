#include "web/screen_state.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace iapflash::web {

namespace {

// The objects of a slot that its drawing needs; the rest of a run (log lines, port and mode
// switch steps) only passes by.
constexpr std::string_view SLOT_EVENTS[] = {"slot",         "board_arrived", "board_left",
                                            "step_started", "progress",      "result"};
// The station's own objects, one of each.
constexpr std::string_view STATION_EVENTS[] = {"station_started", "tallies", "summary"};

bool Contains(const auto& names, std::string_view name) {
  return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

}  // namespace

std::string PageLine(std::string_view jsonLine) {
  while (!jsonLine.empty() && (jsonLine.back() == '\n' || jsonLine.back() == '\r')) {
    jsonLine.remove_suffix(1);
  }
  if (!nlohmann::json::accept(jsonLine)) return {};
  auto first = jsonLine.find_first_not_of(" \t");
  if (first == std::string_view::npos || jsonLine[first] != '{') return {};
  // In a valid JSON text '<', '>' and '&' stand only inside strings, where \uXXXX says the same.
  std::string out;
  out.reserve(jsonLine.size() + 16);
  for (char c : jsonLine) {
    switch (c) {
      case '<':
        out += "\\u003c";
        break;
      case '>':
        out += "\\u003e";
        break;
      case '&':
        out += "\\u0026";
        break;
      // Outside strings (raw line ends are not allowed in them): blanks, so the line stays one.
      case '\n':
      case '\r':
        out += ' ';
        break;
      default:
        out += c;
    }
  }
  return out;
}

void ScreenState::Keep(const std::string& key, const std::string& line) {
  kept_[key] = Kept{next_++, line};
}

void ScreenState::AddEvent(const std::string& pageLine) {
  auto object = nlohmann::json::parse(pageLine, nullptr, false);
  if (!object.is_object()) return;
  auto event = object.find("event");
  if (event == object.end() || !event->is_string()) return;
  const std::string& name = event->get_ref<const std::string&>();
  if (name == "station_started") {
    // A new station: nothing of an earlier one stays.
    kept_.clear();
    Keep(name, pageLine);
    return;
  }
  if (Contains(STATION_EVENTS, name)) {
    Keep(name, pageLine);
    return;
  }
  auto position = object.find("position");
  if (!Contains(SLOT_EVENTS, name) || position == object.end() || !position->is_number_integer()) {
    return;
  }
  std::string slot = "/" + std::to_string(position->get<int64_t>());
  if (name == "board_arrived") {
    // The new board's run starts from nothing; the last result stays until a new one.
    kept_.erase("board_left" + slot);
    kept_.erase("step_started" + slot);
    kept_.erase("progress" + slot);
  }
  Keep(name + slot, pageLine);
}

void ScreenState::AddRecord(const std::string& pageLine) {
  if (recordsKept_ == 0) return;
  if (records_.size() == recordsKept_) records_.pop_front();
  records_.push_back(pageLine);
}

std::vector<std::string> ScreenState::SnapshotEvents() const {
  std::vector<const Kept*> ordered;
  ordered.reserve(kept_.size());
  for (const auto& [key, kept] : kept_) ordered.push_back(&kept);
  std::sort(ordered.begin(), ordered.end(),
            [](const Kept* a, const Kept* b) { return a->order < b->order; });
  std::vector<std::string> lines;
  lines.reserve(ordered.size());
  for (const Kept* kept : ordered) lines.push_back(kept->line);
  return lines;
}

std::vector<std::string> ScreenState::LastRecords() const {
  std::size_t skip = records_.size() > recordsShown_ ? records_.size() - recordsShown_ : 0;
  return {records_.begin() + static_cast<std::ptrdiff_t>(skip), records_.end()};
}

std::string ScreenState::RecordsArray() const {
  std::string out = "[";
  for (const auto& line : records_) {
    if (out.size() > 1) out += ",\n";
    out += line;
  }
  out += "]\n";
  return out;
}

}  // namespace iapflash::web
