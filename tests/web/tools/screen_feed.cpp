// screen_feed [ADDR:]PORT: serves the station's screen (port 0: any free one), prints its URL,
// then publishes what stdin says, a line at a time: "event {...}" or "record {...}". Ends at
// the end of stdin. The browser tests drive the page with it as a station would.
#include <cstdio>
#include <iostream>
#include <string>

#include "web/station_screen.h"

int main(int argc, char** argv) {
  using namespace iapflash::web;
  if (argc != 2) {
    std::cerr << "usage: screen_feed [ADDR:]PORT\n";
    return 2;
  }
  ScreenOptions options;
  std::string text = argv[1];
  std::string error;
  if (text != "0") {
    auto address = ParseHttpAddress(text, error);
    if (!address) {
      std::cerr << error << "\n";
      return 2;
    }
    options.address = *address;
  }
  auto screen = StationScreen::Start(options, error);
  if (!screen) {
    std::cerr << error << "\n";
    return 1;
  }
  options.address.port = screen->Port();
  std::cout << PageUrl(options.address) << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.starts_with("event ")) {
      screen->PublishEvent(line.substr(6));
    } else if (line.starts_with("record ")) {
      screen->PublishRecord(line.substr(7));
    }
    // Said back once published, so a script knows its lines are out.
    if (line == "sync") std::cout << "synced" << std::endl;
  }
  return 0;
}
