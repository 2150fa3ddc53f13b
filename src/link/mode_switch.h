#pragma once

#include "console/station.h"

namespace iapflash {

inline constexpr unsigned PORT_NAME_SIZE = 64;

// Asks the application at appPort to enter its IAP boot program and finds the port under which
// the same device (same USB location) comes back. On success iapPort holds that port's name;
// on failure it is left as it was. appPort and iapPort may be the same buffer.
bool EnterIapMode(Station& station, const char* appPort, char (&iapPort)[PORT_NAME_SIZE],
                  const char* locationInfo);

// One search for an IAP-mode device at locationInfo; copies its port name into out. Logs nothing.
bool FindIapPort(DeviceTree& tree, char (&out)[PORT_NAME_SIZE], const char* locationInfo);

}  // namespace iapflash
