#pragma once

#include <set>
#include <string>
#include <string_view>

#include "fake_device_tree.h"

namespace iapflash::testing {

// A property text as the system reports it, terminator included.
inline std::string Text(std::string_view text) {
  return std::string(text) + '\0';
}

// A hardware-ID list: each ID with its terminator, then the empty string that ends the list.
inline std::string IdList(std::initializer_list<std::string_view> ids) {
  std::string list;
  for (std::string_view id : ids) list += Text(id);
  return list + '\0';
}

// Builds device trees shaped as Windows presents USB serial devices.
class TreeBuilder {
 public:
  static constexpr DevInst ROOT_HUB = 1;

  TreeBuilder() { tree.Add(ROOT_HUB, 0, "USB\\ROOT_HUB30\\4&1A2B&0&0", {}); }

  // A composite USB device (e.g. "6B2D&PID_0A01"): a USB-device node without a port of its own.
  DevInst Composite(std::string_view ids, std::string_view location) {
    const DevInst id = next_++;
    auto& node = tree.Add(id, ROOT_HUB, Instance(ids, ""), {DeviceClass::UsbDevice});
    node.properties[DeviceProperty::HardwareId] =
        IdList({"USB\\VID_" + std::string(ids) + "&REV_0100", "USB\\VID_" + std::string(ids)});
    node.properties[DeviceProperty::DeviceDesc] = Text("USB Composite Device");
    node.properties[DeviceProperty::LocationInformation] = Text(location);
    node.properties[DeviceProperty::Service] = Text("usbccgp");
    return id;
  }

  // A serial interface (e.g. "00") of a composite device, served by driver.
  DevInst Interface(DevInst parent, std::string_view mi, std::string_view port,
                    std::string_view driver = "usbser") {
    const std::string ids = IdsOf(parent);
    const DevInst id = next_++;
    auto& node =
        tree.Add(id, parent, Instance(ids, "&MI_" + std::string(mi)), {DeviceClass::SerialPort});
    node.properties[DeviceProperty::HardwareId] =
        IdList({"USB\\VID_" + ids + "&REV_0100&MI_" + std::string(mi),
                "USB\\VID_" + ids + "&MI_" + std::string(mi)});
    Port(node, driver, port);
    return id;
  }

  // A single-function serial device: its USB-device node is the port itself.
  DevInst SingleFunction(std::string_view ids, std::string_view location, std::string_view port,
                         std::set<DeviceClass> classes = {DeviceClass::SerialPort,
                                                          DeviceClass::UsbDevice},
                         DevInst parent = ROOT_HUB) {
    const DevInst id = next_++;
    auto& node = tree.Add(id, parent, Instance(ids, ""), classes);
    node.properties[DeviceProperty::HardwareId] =
        IdList({"USB\\VID_" + std::string(ids) + "&REV_0100", "USB\\VID_" + std::string(ids)});
    node.properties[DeviceProperty::DeviceDesc] = Text("USB Serial Device");
    node.properties[DeviceProperty::LocationInformation] = Text(location);
    Port(node, "usbser", port);
    return id;
  }

  // A serial port of another kind, e.g. a motherboard port or another maker's adapter.
  DevInst Foreign(std::string_view instanceId, std::string_view driver, std::string_view port) {
    const DevInst id = next_++;
    auto& node = tree.Add(id, ROOT_HUB, std::string(instanceId), {DeviceClass::SerialPort});
    node.properties[DeviceProperty::HardwareId] = IdList({instanceId});
    Port(node, driver, port);
    return id;
  }

  FakeDeviceTree tree;

 private:
  std::string Instance(std::string_view ids, const std::string& mi) {
    return "USB\\VID_" + std::string(ids) + mi + "\\5&2F3A&0&" + std::to_string(next_);
  }
  std::string IdsOf(DevInst parent) {
    const std::string& instance = tree[parent].instanceId;
    const auto start = instance.find("VID_") + 4;
    return instance.substr(start, instance.find('\\', start) - start);
  }
  static void Port(FakeDeviceTree::Node& node, std::string_view driver, std::string_view port) {
    node.properties[DeviceProperty::Service] = Text(driver);
    node.properties[DeviceProperty::FriendlyName] =
        Text("USB Serial Device (" + std::string(port) + ")");
    node.portName = std::string(port);
  }

  DevInst next_ = 100;
};

}  // namespace iapflash::testing
