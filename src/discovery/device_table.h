#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/device_tree.h"

namespace iapflash {

inline constexpr std::size_t MAX_DEVICES = 16;
inline constexpr std::size_t MAX_PORTS_PER_DEVICE = 16;
inline constexpr std::size_t MAX_SCAN_PORTS = 32;
// Widths of the texts a scan keeps, counted as the system's buffers count them (terminator
// included): a longer text is cut, once, where it is captured (CutText). A port name is never
// cut: a longer one is not taken.
inline constexpr std::size_t PORT_NAME_SIZE = 64;
inline constexpr std::size_t HARDWARE_ID_SIZE = 128;
inline constexpr std::size_t FRIENDLY_NAME_SIZE = 256;
inline constexpr std::size_t DESCRIPTION_SIZE = 128;
inline constexpr std::size_t LOCATION_SIZE = 128;
inline constexpr std::size_t SERIAL_NUMBER_SIZE = 128;

struct PortEntry {
  std::string portName{};
  uint8_t interfaceNumber = 0;
  DevInst deviceInstance = 0;
  DevInst parentInstance = 0;     // the maker parent the port hangs off; 0 when none
  std::string hardwareId{};       // the first ID of the port's list
  uint32_t hardwareIdLength = 0;  // the whole list's length as the system reported it
  std::string friendlyName{};
};

struct DeviceEntry {
  DevInst parentInstance = 0;
  std::vector<PortEntry> ports{};  // at most MAX_PORTS_PER_DEVICE, ordered by interface number
  std::string parentHardwareId{};
  std::string parentDescription{};
  bool inIapMode = false;  // the device runs its IAP boot program
  std::string locationInfo{};
  std::string serialNumber{};  // the USB device's serial number; empty when it has none
};

// What a scan found, at most MAX_DEVICES entries.
using DeviceTable = std::vector<DeviceEntry>;

}  // namespace iapflash
