#include "discovery/device_scan.h"

namespace iapflash {

// Not yet implemented: finds nothing.
uint8_t ScanDevices(Station& station) {
  station.deviceCount = 0;
  station.panel.ShowDevices({}, -1);
  return 0;
}

}  // namespace iapflash
