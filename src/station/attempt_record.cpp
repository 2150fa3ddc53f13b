#include "station/attempt_record.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace iapflash {

const char* OutcomeLayer(const DeviceOutcome& outcome) {
  if (outcome.interrupted) return "interrupted";
  if (outcome.timedOut) return "timeout";
  return LayerName(outcome.finished.layer);
}

std::string UtcTimeText(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
  const auto days = floor<std::chrono::days>(sys_time<milliseconds>(milliseconds(ms)));
  const year_month_day date{days};
  const auto inDay = ms - duration_cast<milliseconds>(days.time_since_epoch()).count();
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<long long>(inDay / 3600000),
                static_cast<long long>(inDay / 60000 % 60),
                static_cast<long long>(inDay / 1000 % 60), static_cast<long long>(inDay % 1000));
  return text;
}

std::string RecordLine(const AttemptRecord& record) {
  nlohmann::ordered_json line;
  line["time"] = UtcTimeText(record.endedAt);
  line["slot"] = record.slot;
  line["port"] = record.port;
  line["location"] = record.location;
  line["serial"] = record.serial.empty() ? nlohmann::ordered_json(nullptr)
                                         : nlohmann::ordered_json(record.serial);
  line["board"] = record.board;
  line["image"] = {{"path", record.image.path},
                   {"length", record.image.length},
                   {"checksum", record.image.checksum}};
  const DeviceOutcome& outcome = record.outcome;
  const bool success = outcome.finished.success;
  line["result"] = success ? "success" : outcome.interrupted ? "interrupted" : "failure";
  if (success) {
    line["failed_step"] = nullptr;
    line["failed_step_name"] = nullptr;
    line["layer"] = nullptr;
    line["message"] = nullptr;
  } else {
    line["failed_step"] = static_cast<int>(outcome.finished.failedStep);
    line["failed_step_name"] = StepName(outcome.finished.failedStep);
    line["layer"] = OutcomeLayer(outcome);
    line["message"] = outcome.FailureLine();
  }
  line["seconds"] = static_cast<double>(outcome.ms) / 1000.0;
  // Text that is not UTF-8 (a device's reply in a failure line) is replaced, never refused.
  return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace iapflash
