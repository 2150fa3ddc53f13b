#pragma once

#include <cstdint>

#include "app/station.h"

namespace iapflash {

// Runs serial discovery into station.devices, logs "已查找到%d个设备", refills the device list
// and selects its last line. Returns the device count. Window's thread.
uint8_t ScanDevices(Station& station);

}  // namespace iapflash
