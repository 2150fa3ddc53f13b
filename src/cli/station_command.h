#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "web/http_address.h"

namespace iapflash::cli {

struct StationOptions {
  std::string file;
  std::vector<std::string> ports;  // the slots; empty: a slot per USB location found
  bool iap = false;
  std::string records;  // the records file; empty: none
  std::optional<uint64_t> count;
  std::optional<uint64_t> timeoutMs;  // each run, in real time
  bool json = false;
  // The simulated bus's scenario; empty: the machine's own ports and devices.
  std::optional<std::string> scenario;
  // --http: the station's screen, served at this address.
  std::optional<web::HttpAddress> http;
};

// `iapflash station`: flashes each board that arrives in a slot once, until SIGINT or SIGTERM
// (status 130, 143) or, with a count, until that many runs have ended (0 when all succeeded,
// 1 otherwise); 1 when the file is refused or the records file cannot be opened.
int RunStation(const StationOptions& options);

}  // namespace iapflash::cli
