#pragma once

#include <cstdint>
#include <string_view>

#include "console/station.h"

namespace iapflash {

inline constexpr unsigned PORT_NAME_SIZE = 64;

// Sent as it is on the application's port: no terminator, no frame, no checksum.
inline constexpr std::string_view IAP_MODE_REQUEST = "#K!Q%T&_BLD*907M";
inline constexpr std::string_view IAP_MODE_REPLY = "Enter?IAP?Mode";
inline constexpr unsigned IAP_SEARCH_ATTEMPTS = 15;
inline constexpr uint32_t IAP_SEARCH_INTERVAL_MS = 200;

// Asks the application at appPort to enter its IAP boot program and finds the port under which
// the same device (same USB location) comes back. On success iapPort holds that port's name;
// on failure it is left as it was. appPort and iapPort may be the same buffer.
bool EnterIapMode(Station& station, const char* appPort, char (&iapPort)[PORT_NAME_SIZE],
                  const char* locationInfo);

// One search for an IAP-mode device at exactly locationInfo; copies its port name into out.
// A port name that does not fit out is refused, never cut. Logs nothing.
bool FindIapPort(DeviceTree& tree, char (&out)[PORT_NAME_SIZE], const char* locationInfo);

}  // namespace iapflash
