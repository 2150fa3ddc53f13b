#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/device_tree.h"

namespace iapflash {

inline constexpr std::size_t MAX_DEVICES = 16;
inline constexpr std::size_t MAX_PORTS_PER_DEVICE = 16;
inline constexpr std::size_t MAX_SCAN_PORTS = 32;
// Width of a port name field, terminator included: a longer name is never taken or cut.
inline constexpr std::size_t PORT_NAME_SIZE = 64;
// Marks a ScanPortList entry already placed in a DeviceEntry.
inline constexpr DevInst PORT_GROUPED = 0xFFFF;

// Text fields are NUL-terminated within their width (the width includes the terminator).
struct PortEntry {
  char portName[PORT_NAME_SIZE];
  uint8_t interfaceNumber;
  DevInst deviceInstance;
  DevInst parentInstance;
  char hardwareId[128];
  uint32_t hardwareIdLength;
  char friendlyName[256];
};

struct DeviceEntry {
  uint8_t portCount;
  DevInst parentInstance;
  PortEntry ports[MAX_PORTS_PER_DEVICE];
  char parentHardwareId[128];
  char parentDescription[128];
  bool inIapMode;  // the device runs its IAP boot program
  char locationInfo[128];
};

using DeviceTable = std::array<DeviceEntry, MAX_DEVICES>;
using ScanPortList = std::array<PortEntry, MAX_SCAN_PORTS>;

}  // namespace iapflash
