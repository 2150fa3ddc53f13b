#include "cli/station_screen_link.h"

#include "cli/terminal.h"

namespace iapflash::cli {

std::unique_ptr<web::StationScreen> StartStationScreen(const web::HttpAddress& address) {
  web::ScreenOptions options;
  options.address = address;
  std::string error;
  auto screen = web::StationScreen::Start(options, error);
  if (!screen) {
    WriteText(stderr, "iapflash: --http: " + error + "\n");
    return nullptr;
  }
  if (!web::IsLoopback(address.host)) {
    WriteText(stderr, "iapflash: the station's page is reachable from the network: " +
                          web::PageUrl(address) + "\n");
  }
  return screen;
}

bool ScreenRecords::Append(std::string_view text, SystemError& error) {
  if (file_ && !file_->Append(text, error)) return false;
  screen_.PublishRecord(text);
  return true;
}

void BothReports::OnLine(std::size_t position, std::string_view line) {
  first_.OnLine(position, line);
  second_.OnLine(position, line);
}
void BothReports::OnEvent(std::size_t position, const RunEvent& event) {
  first_.OnEvent(position, event);
  second_.OnEvent(position, event);
}
void BothReports::OnDone(std::size_t position, const DeviceOutcome& outcome) {
  first_.OnDone(position, outcome);
  second_.OnDone(position, outcome);
}
void BothReports::OnSlot(const Slot& slot) {
  first_.OnSlot(slot);
  second_.OnSlot(slot);
}
void BothReports::OnArrived(const Slot& slot, bool runs) {
  first_.OnArrived(slot, runs);
  second_.OnArrived(slot, runs);
}
void BothReports::OnLeft(const Slot& slot, uint64_t board, bool duringRun) {
  first_.OnLeft(slot, board, duringRun);
  second_.OnLeft(slot, board, duringRun);
}
void BothReports::OnTallies(const Tallies& tallies) {
  first_.OnTallies(tallies);
  second_.OnTallies(tallies);
}
void BothReports::OnRecordFailed(SystemError error) {
  first_.OnRecordFailed(error);  // said once, by the terminal's view
}

}  // namespace iapflash::cli
