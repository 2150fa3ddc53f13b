#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace iapflash {

// A device node's handle, valid for the life of the node (DEVINST on Windows).
using DevInst = uint32_t;

// Device-interface classes that discovery enumerates.
enum class DeviceClass { SerialPort, UsbDevice };

enum class DeviceProperty {
  Service,              // driver service name, e.g. "usbser"
  HardwareId,           // NUL-separated list of IDs, ending in an empty string
  FriendlyName,         // e.g. "USB Serial Device (COM3)"
  LocationInformation,  // the physical USB port, in the system's wording
  DeviceDesc,           // device description
  SerialNumber,         // a USB device's serial number as text, where it has one
};

// Property values are returned as the system reports them: raw bytes with their terminators
// (a text ends in NUL, an ID list in NUL NUL), so the value's size is the reported length.

// The present nodes of one interface class, in the system's order. Destroying it releases it.
class DeviceSet {
 public:
  virtual ~DeviceSet() = default;
  // The member at index; false after the last member.
  virtual bool Member(uint32_t index, DevInst& node) = 0;
  virtual bool Property(uint32_t index, DeviceProperty property, std::string& value) = 0;
  // The "PortName" value of the member's hardware key, as text without terminator; false when
  // the key or the value cannot be read.
  virtual bool PortName(uint32_t index, std::string& name) = 0;
};

// What discovery and the mode switch need of the OS's device services.
class DeviceTree {
 public:
  virtual ~DeviceTree() = default;
  // Null when the system cannot list the class.
  virtual std::unique_ptr<DeviceSet> Present(DeviceClass deviceClass) = 0;
  virtual bool Parent(DevInst node, DevInst& parent) = 0;
  // The device instance ID, e.g. "USB\VID_7F3C&PID_2C71\5&1A2B3C4D&0&2".
  virtual bool InstanceId(DevInst node, std::string& id) = 0;
  // Properties of any node by its handle (HardwareId and DeviceDesc are asked for).
  virtual bool NodeProperty(DevInst node, DeviceProperty property, std::string& value) = 0;
};

// The machine's own device tree.
DeviceTree& SystemDeviceTree();

}  // namespace iapflash
