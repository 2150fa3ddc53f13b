#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/record_file.h"
#include "station/station_run.h"
#include "web/http_address.h"
#include "web/station_screen.h"

namespace iapflash::cli {

// `station --http`: the station's screen, fed the same objects as --json and every record.
// Null, with the reason on stderr, when the address cannot be served; a line on stderr when it
// can be reached from the network.
std::unique_ptr<web::StationScreen> StartStationScreen(const web::HttpAddress& address);

// Records that also go to the screen: each line the station appends (to the records file, if it
// has one) is published once written.
class ScreenRecords final : public RecordFile {
 public:
  ScreenRecords(RecordFile* file, web::StationScreen& screen) : file_(file), screen_(screen) {}
  bool Append(std::string_view text, SystemError& error) override;

 private:
  RecordFile* file_;
  web::StationScreen& screen_;
};

// One station's report to two views (the terminal's and the screen's JSON).
class BothReports final : public StationReport {
 public:
  BothReports(StationReport& first, StationReport& second) : first_(first), second_(second) {}
  void OnLine(std::size_t position, std::string_view line) override;
  void OnEvent(std::size_t position, const RunEvent& event) override;
  void OnDone(std::size_t position, const DeviceOutcome& outcome) override;
  void OnSlot(const Slot& slot) override;
  void OnArrived(const Slot& slot, bool runs) override;
  void OnLeft(const Slot& slot, uint64_t board, bool duringRun) override;
  void OnTallies(const Tallies& tallies) override;
  void OnRecordFailed(SystemError error) override;

 private:
  StationReport& first_;
  StationReport& second_;
};

}  // namespace iapflash::cli
