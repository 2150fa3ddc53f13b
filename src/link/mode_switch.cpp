#include "link/mode_switch.h"

namespace iapflash {

// Not yet implemented: no device is switched.
bool EnterIapMode(Station&, const char*, char (&)[PORT_NAME_SIZE], const char*) { return false; }
bool FindIapPort(DeviceTree&, char (&)[PORT_NAME_SIZE], const char*) { return false; }

}  // namespace iapflash
