#include "discovery/serial_discovery.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <utility>

#include "discovery/maker_ids.h"

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
  if (TextOf(portName).size() >= sizeof port.portName) return false;

  port.deviceInstance = node;
  port.parentInstance = makerParent;
  CopyToField(port.hardwareId, hardwareIds);
  port.hardwareIdLength = static_cast<uint32_t>(std::min(hardwareIds.size(), HARDWARE_ID_LIST_MAX));
  CopyToField(port.friendlyName, friendlyName);
  CopyToField(port.portName, portName);
  return true;
}

// Gathers the ports of both classes into list and their number into count; false when a class
// cannot be listed.
bool GatherPorts(DeviceTree& tree, ScanPortList& list, std::size_t& count) {
  count = 0;
  for (DeviceClass deviceClass : {DeviceClass::SerialPort, DeviceClass::UsbDevice}) {
    std::unique_ptr<DeviceSet> set = tree.Present(deviceClass);
    if (!set) return false;
    DevInst node = 0;
    for (uint32_t index = 0; count < list.size() && set->Member(index, node); ++index) {
      PortEntry port{};
      if (TakePort(tree, *set, index, node, port)) list[count++] = port;
    }
  }
  return true;
}

uint8_t InterfaceNumberOf(const PortEntry& port) {
  uint8_t number = 0;
  ParseDeviceId(port.hardwareId, port.hardwareIdLength, nullptr, nullptr, nullptr, &number);
  return number;
}

// Groups the gathered ports into devices by their maker parent; a port without one stands alone.
// Devices beyond the table and ports beyond a device's capacity are left out.
std::size_t GroupPorts(ScanPortList& list, std::size_t count, DeviceTable& table) {
  std::size_t devices = 0;
  for (std::size_t i = 0; i < count && devices < table.size(); ++i) {
    PortEntry& first = list[i];
    if (first.parentInstance == PORT_GROUPED) continue;
    DeviceEntry& device = table[devices++];
    device.ports[0] = first;
    device.portCount = 1;
    if (first.parentInstance == 0) {
      device.parentInstance = first.deviceInstance;
      continue;
    }
    const DevInst parent = first.parentInstance;
    device.parentInstance = parent;
    device.ports[0].interfaceNumber = InterfaceNumberOf(first);
    first.parentInstance = PORT_GROUPED;
    for (std::size_t j = i + 1; j < count; ++j) {
      PortEntry& later = list[j];
      if (later.parentInstance != parent) continue;
      later.parentInstance = PORT_GROUPED;
      if (device.portCount == MAX_PORTS_PER_DEVICE) continue;
      PortEntry& added = device.ports[device.portCount++];
      added = later;
      added.parentInstance = parent;
      added.interfaceNumber = InterfaceNumberOf(later);
    }
  }
  return devices;
}

// Location, hardware ID, boot-program flag and description, from the node the ports share.
void CompleteDevice(DeviceTree& tree, DeviceEntry& device) {
  ReadLocationInfo(tree, device.parentInstance, device.locationInfo);
  std::string value;
  if (tree.NodeProperty(device.parentInstance, DeviceProperty::HardwareId, value)) {
    CopyToField(device.parentHardwareId, value);
    if (device.portCount == 1) device.inIapMode = ContainsBootProgramId(device.parentHardwareId);
  }
  if (tree.NodeProperty(device.parentInstance, DeviceProperty::DeviceDesc, value)) {
    CopyToField(device.parentDescription, value);
  }
}

// Placement by exchange: each position p receives the port carrying number p; when several carry
// it, the last one scanned ends at p.
void OrderPorts(DeviceEntry& device) {
  for (std::size_t p = 0; p < device.portCount; ++p) {
    if (device.ports[p].interfaceNumber == p) continue;
    for (std::size_t q = p; q < device.portCount; ++q) {
      if (device.ports[q].interfaceNumber == p) std::swap(device.ports[q], device.ports[p]);
    }
  }
}

}  // namespace

void CopyToField(std::span<char> field, std::string_view value) {
  if (field.empty()) return;
  std::fill(field.begin(), field.end(), '\0');
  std::size_t length = TextLength(value.data(), value.size());
  if (length >= field.size()) {
    length = field.size() - 1;
    // Step back to the lead byte of a cut UTF-8 sequence and leave the sequence out.
    while (length > 0 && (static_cast<unsigned char>(value[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(field.data(), value.data(), length);
}

uint8_t DiscoverSerialDevices(DeviceTree& tree, DeviceTable& table) {
  table.fill(DeviceEntry{});
  ScanPortList list{};
  std::size_t ports = 0;
  if (!GatherPorts(tree, list, ports) || ports == 0) return 0;
  const std::size_t devices = GroupPorts(list, ports, table);
  for (std::size_t d = 0; d < devices; ++d) {
    CompleteDevice(tree, table[d]);
    OrderPorts(table[d]);
  }
  return static_cast<uint8_t>(devices);
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

bool ReadLocationInfo(DeviceTree& tree, DevInst node, std::span<char> text) {
  std::unique_ptr<DeviceSet> set = tree.Present(DeviceClass::UsbDevice);
  if (!set) return false;
  DevInst member = 0;
  std::string value;
  for (uint32_t index = 0; set->Member(index, member); ++index) {
    if (member != node) continue;
    if (set->Property(index, DeviceProperty::LocationInformation, value)) {
      CopyToField(text, value);
      return true;
    }
  }
  return false;
}

}  // namespace iapflash
