#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "discovery/device_table.h"
#include "platform/device_tree.h"

namespace iapflash {

// Finds the serial download devices: gathers the ports of interest from the serial-port class
// and then the USB-device class, groups them by their maker parent, completes each device from
// that parent and orders its ports by interface number. Clears and refills table; returns the
// number of devices (0 when nothing was found or a class could not be listed). Logs nothing.
uint8_t DiscoverSerialDevices(DeviceTree& tree, DeviceTable& table);

inline constexpr uint8_t DEVICE_ID_TOO_SHORT = 255;

// Reads vendor, product, revision and interface number from the first ID of idList that contains
// "REV". idList holds the caller's text (a null data pointer means absent); listLength is the
// length the system reported for the whole list. Outputs may be null. Returns 255 when the list
// is absent or its first ID is shorter than 5 characters, 0 when no ID contains "REV" (outputs
// given are set to 0), 1 otherwise.
uint8_t ParseDeviceId(std::span<const char> idList, uint32_t listLength, uint16_t* vendor,
                      uint16_t* product, uint16_t* revision, uint8_t* interfaceNumber);

// The value of a hexadecimal text of up to four digits; 0 when any character is not a digit.
uint32_t ParseHexText(std::string_view text);

// The location text of the USB device node, cut to LOCATION_SIZE. False (text untouched) when
// the node is not a present USB device or gives no location.
bool ReadLocationInfo(DeviceTree& tree, DevInst node, std::string& text);

// The text of a property value (up to its first NUL), cut to fit a field of size bytes with its
// terminator: at most size - 1 bytes, never inside a UTF-8 sequence.
std::string CutText(std::string_view value, std::size_t size);

}  // namespace iapflash
