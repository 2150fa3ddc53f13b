#include "discovery/serial_discovery.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <utility>

#include "discovery/maker_ids.h"
#include "log/log.h"

namespace iapflash {
namespace {

// The maker's own USB-serial drivers and the system's driver for communication-class devices.
constexpr std::array<std::string_view, 4> KNOWN_DRIVERS{"KVSERIAL", "KVSERLEG", "KVMULTCM",
                                                        "usbser"};
constexpr std::size_t ID_COPY_MAX = 255;
// The system reports a hardware-ID list in a buffer of this size; its length never exceeds it.
constexpr std::size_t HARDWARE_ID_LIST_MAX = 256;

// Length of the text at data, up to its terminator but never beyond size bytes.
std::size_t TextLength(const char* data, std::size_t size) {
  if (size == 0) return 0;
  const void* end = std::memchr(data, '\0', size);
  return end ? static_cast<std::size_t>(static_cast<const char*>(end) - data) : size;
}

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// A property value's text: its bytes up to the first terminator.
std::string_view TextOf(const std::string& value) {
  return std::string_view(value.data(), TextLength(value.data(), value.size()));
}

bool IsKnownDriver(std::string_view service) {
  return std::find(KNOWN_DRIVERS.begin(), KNOWN_DRIVERS.end(), service) != KNOWN_DRIVERS.end();
}

// A port found by the first pass, and whether grouping has already placed it in a device.
struct FoundPort {
  PortEntry port;
  bool grouped = false;
};

// Examines member index of set (node) and fills port when it is a port of interest.
bool TakePort(DeviceTree& tree, DeviceSet& set, uint32_t index, DevInst node, PortEntry& port) {
  std::string text;
  DevInst parent = 0;
  DevInst makerParent = 0;
  if (!tree.Parent(node, parent) || !tree.InstanceId(parent, text)) return false;
  if (ContainsMakerId(TextOf(text), true)) {
    makerParent = parent;
  } else {
    if (!tree.InstanceId(node, text)) return false;
    if (!ContainsMakerId(TextOf(text))) {
      if (!set.Property(index, DeviceProperty::Service, text)) return false;
      if (!IsKnownDriver(TextOf(text))) return false;
    }
  }

  std::string hardwareIds;
  std::string friendlyName;
  std::string portName;
  if (!set.Property(index, DeviceProperty::HardwareId, hardwareIds)) return false;
  if (!set.Property(index, DeviceProperty::FriendlyName, friendlyName)) return false;
  if (!set.PortName(index, portName)) return false;
  // A cut port name would name another port; such a port cannot be opened by its name here.
  if (TextOf(portName).size() >= PORT_NAME_SIZE) return false;

  port.deviceInstance = node;
  port.parentInstance = makerParent;
  port.hardwareId = CutText(hardwareIds, HARDWARE_ID_SIZE);
  port.hardwareIdLength = static_cast<uint32_t>(std::min(hardwareIds.size(), HARDWARE_ID_LIST_MAX));
  port.friendlyName = CutText(friendlyName, FRIENDLY_NAME_SIZE);
  port.portName = std::string(TextOf(portName));
  return true;
}

// Gathers at most MAX_SCAN_PORTS ports of both classes into list; false when a class cannot be
// listed.
bool GatherPorts(DeviceTree& tree, std::vector<FoundPort>& list) {
  list.clear();
  for (DeviceClass deviceClass : {DeviceClass::SerialPort, DeviceClass::UsbDevice}) {
    std::unique_ptr<DeviceSet> set = tree.Present(deviceClass);
    if (!set) return false;
    DevInst node = 0;
    for (uint32_t index = 0; list.size() < MAX_SCAN_PORTS && set->Member(index, node); ++index) {
      PortEntry port;
      if (TakePort(tree, *set, index, node, port)) list.push_back({std::move(port)});
    }
  }
  return true;
}

uint8_t InterfaceNumberOf(const PortEntry& port) {
  // The kept ID with its terminator, as the system's list would hold it.
  const std::span<const char> id(port.hardwareId.c_str(), port.hardwareId.size() + 1);
  uint8_t number = 0;
  ParseDeviceId(id, port.hardwareIdLength, nullptr, nullptr, nullptr, &number);
  return number;
}

// Groups the gathered ports into devices by their maker parent; a port without one stands alone.
// Devices beyond MAX_DEVICES and ports beyond a device's capacity are left out.
void GroupPorts(std::vector<FoundPort>& list, DeviceTable& table) {
  for (std::size_t i = 0; i < list.size() && table.size() < MAX_DEVICES; ++i) {
    FoundPort& first = list[i];
    if (first.grouped) continue;
    DeviceEntry& device = table.emplace_back();
    device.ports.push_back(first.port);
    if (first.port.parentInstance == 0) {
      device.parentInstance = first.port.deviceInstance;
      continue;
    }
    const DevInst parent = first.port.parentInstance;
    device.parentInstance = parent;
    device.ports[0].interfaceNumber = InterfaceNumberOf(first.port);
    first.grouped = true;
    for (std::size_t j = i + 1; j < list.size(); ++j) {
      FoundPort& later = list[j];
      if (later.grouped || later.port.parentInstance != parent) continue;
      later.grouped = true;
      if (device.ports.size() == MAX_PORTS_PER_DEVICE) continue;
      PortEntry& added = device.ports.emplace_back(later.port);
      added.interfaceNumber = InterfaceNumberOf(later.port);
    }
  }
}

// Location, hardware ID, boot-program flag and description, from the node the ports share.
void CompleteDevice(DeviceTree& tree, DeviceEntry& device) {
  ReadLocationInfo(tree, device.parentInstance, device.locationInfo);
  std::string value;
  if (tree.NodeProperty(device.parentInstance, DeviceProperty::HardwareId, value)) {
    device.parentHardwareId = CutText(value, HARDWARE_ID_SIZE);
    if (device.ports.size() == 1) {
      device.inIapMode = ContainsBootProgramId(device.parentHardwareId);
    }
  }
  if (tree.NodeProperty(device.parentInstance, DeviceProperty::DeviceDesc, value)) {
    device.parentDescription = CutText(value, DESCRIPTION_SIZE);
  }
  if (tree.NodeProperty(device.parentInstance, DeviceProperty::SerialNumber, value)) {
    device.serialNumber = CutText(value, SERIAL_NUMBER_SIZE);
  }
}

// Placement by exchange: each position p receives the port carrying number p; when several carry
// it, the last one scanned ends at p.
void OrderPorts(DeviceEntry& device) {
  for (std::size_t p = 0; p < device.ports.size(); ++p) {
    if (device.ports[p].interfaceNumber == p) continue;
    for (std::size_t q = p; q < device.ports.size(); ++q) {
      if (device.ports[q].interfaceNumber == p) std::swap(device.ports[q], device.ports[p]);
    }
  }
}

}  // namespace

std::string CutText(std::string_view value, std::size_t size) {
  if (size == 0) return {};
  const std::size_t length = TextLength(value.data(), value.size());
  return std::string(value.data(), Utf8Cut(value.data(), length, size - 1));
}

uint8_t DiscoverSerialDevices(DeviceTree& tree, DeviceTable& table) {
  table.clear();
  std::vector<FoundPort> list;
  if (!GatherPorts(tree, list) || list.empty()) return 0;
  GroupPorts(list, table);
  for (DeviceEntry& device : table) {
    CompleteDevice(tree, device);
    OrderPorts(device);
  }
  return static_cast<uint8_t>(table.size());
}

uint8_t ParseDeviceId(std::span<const char> idList, uint32_t listLength, uint16_t* vendor,
                      uint16_t* product, uint16_t* revision, uint8_t* interfaceNumber) {
  if (idList.data() == nullptr) return DEVICE_ID_TOO_SHORT;
  auto stringAt = [&](std::size_t start) {
    return std::string_view(idList.data() + start,
                            TextLength(idList.data() + start, idList.size() - start));
  };
  if (idList.empty() || stringAt(0).size() < 5) return DEVICE_ID_TOO_SHORT;
  for (uint16_t* out : {vendor, product, revision}) {
    if (out) *out = 0;
  }
  if (interfaceNumber) *interfaceNumber = 0;

  std::string_view id;
  for (std::size_t start = 0;;) {
    const std::string_view candidate = stringAt(start);
    if (Contains(candidate, "REV")) {
      id = candidate;
      break;
    }
    start += candidate.size() + 1;
    if (start >= listLength || start >= idList.size()) return 0;
  }

  std::string upper(id.substr(0, ID_COPY_MAX));
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  const std::string_view copy = upper;
  auto after = [&](std::string_view mark, std::size_t digits) {
    return copy.substr(copy.find(mark) + mark.size(), digits);
  };
  if (vendor && Contains(copy, "VID_"))
    *vendor = static_cast<uint16_t>(ParseHexText(after("VID_", 4)));
  if (product && Contains(copy, "PID_")) {
    *product = static_cast<uint16_t>(ParseHexText(after("PID_", 4)));
  }
  if (revision && Contains(copy, "REV_")) {
    *revision = static_cast<uint16_t>(ParseHexText(after("REV_", 4)));
  }
  if (interfaceNumber && Contains(copy, "MI_")) {
    *interfaceNumber = static_cast<uint8_t>(ParseHexText(after("MI_", 2)) >> 1);
  }
  return 1;
}

uint32_t ParseHexText(std::string_view text) {
  uint32_t result = 0;
  uint32_t weight = 1;
  for (auto it = text.rbegin(); it != text.rend(); ++it, weight *= 16) {
    const char c = *it;
    uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else {
      return 0;
    }
    result += digit * weight;
  }
  return result;
}

bool ReadLocationInfo(DeviceTree& tree, DevInst node, std::string& text) {
  std::unique_ptr<DeviceSet> set = tree.Present(DeviceClass::UsbDevice);
  if (!set) return false;
  DevInst member = 0;
  std::string value;
  for (uint32_t index = 0; set->Member(index, member); ++index) {
    if (member != node) continue;
    if (set->Property(index, DeviceProperty::LocationInformation, value)) {
      text = CutText(value, LOCATION_SIZE);
      return true;
    }
  }
  return false;
}

}  // namespace iapflash
