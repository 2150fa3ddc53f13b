#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "web/http_address.h"

namespace iapflash::web {

struct ScreenOptions {
  HttpAddress address;  // port 0: any free port (Port() tells which)
  std::size_t maxViewers = 32;
  // What one viewer may fall behind by before its events are dropped and its connection ends.
  std::size_t viewerQueueBytes = 256 * 1024;
  // Records that GET /records returns (the last ones; the records file keeps them all).
  std::size_t recordsKept = 10000;
  // An idle event stream carries a comment this often, so a viewer that went away is noticed.
  std::chrono::milliseconds heartbeat{2000};
  // The viewers get what was published at most this often, in one piece (the page must show it
  // within 0.5 s).
  std::chrono::milliseconds publishEvery{100};
};

// The station's screen: an HTTP server, on threads of its own, that serves the page
// (GET /, /screen.js, /screen.css), the station's events as Server-Sent Events (GET /events:
// first what a new viewer needs to draw the station as it is, then every event as it is
// published; records as `event: record`) and the records so far (GET /records, a JSON array).
// Read-only: every other method is refused. The station publishes from any thread; publishing
// only hands the line over (a copy under a lock no viewer holds) and never waits for a viewer:
// a thread of the screen's own takes the lines into the page's state and passes them to the
// viewers, what came in the meantime in one piece, at most every `publishEvery`.
class StationScreen {
 public:
  // Binds and serves; null, with `error` set, when the address cannot be bound.
  static std::unique_ptr<StationScreen> Start(const ScreenOptions& options, std::string& error);
  // Stops serving: every viewer's connection ends.
  ~StationScreen();
  StationScreen(const StationScreen&) = delete;
  StationScreen& operator=(const StationScreen&) = delete;

  // One line of the station's JSON events (the objects of `--json`), with or without its line
  // end. A line that is not one JSON object is left out.
  void PublishEvent(std::string_view jsonLine);
  // One line of the records file.
  void PublishRecord(std::string_view jsonLine);

  uint16_t Port() const;
  std::size_t Viewers() const;

  class Server;

 private:
  explicit StationScreen(std::unique_ptr<Server> server);
  std::unique_ptr<Server> server_;
};

}  // namespace iapflash::web
