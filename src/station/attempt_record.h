#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/device_runs.h"

namespace iapflash {

// The update file a station flashes, as loaded when it started.
struct StationImage {
  std::string path;
  uint32_t length = 0;
  uint32_t checksum = 0;  // the 32-bit byte sum of the image
};

// One board's run, as --records keeps it.
struct AttemptRecord {
  std::chrono::system_clock::time_point endedAt;
  std::size_t slot = 0;
  std::string port;      // the port its run opened first
  std::string location;  // the slot's USB location (the port as given for --port slots)
  std::string serial;    // empty when the board has none
  uint64_t board = 0;
  StationImage image;
  DeviceOutcome outcome;
};

// "2026-12-10T18:40:12.345Z"
std::string UtcTimeText(std::chrono::system_clock::time_point time);

// The record as one line of JSON with its "\n": time, slot, port, location, serial (or null),
// board, image {path, length, checksum}, result ("success", "failure", "interrupted"),
// failed_step, failed_step_name, layer, message (each null on success) and seconds.
std::string RecordLine(const AttemptRecord& record);

// A failed run's layer: "timeout" and "interrupted" when its time limit or a signal ended it.
const char* OutcomeLayer(const DeviceOutcome& outcome);

}  // namespace iapflash
