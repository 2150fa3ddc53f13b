#pragma once

#include <memory>

#include "platform/device_tree.h"

namespace iapflash {

// A device tree over libudev that presents Linux's ttys and USB devices the way the Windows
// device tree shows them (instance IDs, hardware IDs, driver service, PortName, location).
// Each tree has its own udev context and handle table; it reads sysfs afresh on every query, so
// a device that re-enumerates is seen as it is now. Null when no udev context can be had.
std::unique_ptr<DeviceTree> MakeUdevDeviceTree();

}  // namespace iapflash
