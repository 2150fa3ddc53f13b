#include <libudev.h>

#include <cctype>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/device_tree.h"
#include "platform/posix/udev_device_tree.h"

namespace iapflash {
namespace {

struct UdevRelease {
  void operator()(udev* context) const { udev_unref(context); }
};
struct EnumerateRelease {
  void operator()(udev_enumerate* enumerate) const { udev_enumerate_unref(enumerate); }
};
struct DeviceRelease {
  void operator()(udev_device* device) const { udev_device_unref(device); }
};
using UdevPtr = std::unique_ptr<udev, UdevRelease>;
using EnumeratePtr = std::unique_ptr<udev_enumerate, EnumerateRelease>;
using DevicePtr = std::unique_ptr<udev_device, DeviceRelease>;

// Windows names the service of USB communication-class serial ports "usbser"; discovery knows
// that name, so the kernel's driver for the same ports goes by it.
constexpr std::string_view CDC_ACM_DRIVER = "cdc_acm";
constexpr std::string_view CDC_SERVICE = "usbser";
// Descriptions for nodes that give no product string.
constexpr std::string_view UNNAMED_USB_DEVICE = "USB Device";
constexpr std::string_view PLAIN_SERIAL_PORT = "Serial Port";

bool Is(const char* text, std::string_view expected) {
  return text != nullptr && expected == text;
}

std::string TrimmedText(const char* text) {
  std::string value = text != nullptr ? text : "";
  while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) {
    value.pop_back();
  }
  return value;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return text;
}

std::string Attribute(udev_device* device, const char* name) {
  return TrimmedText(udev_device_get_sysattr_value(device, name));
}

// A descriptor number as sysfs writes it ("7f3c", "00"), in upper case; empty unless it is
// exactly `digits` hexadecimal digits.
std::string HexAttribute(udev_device* device, const char* name, std::size_t digits) {
  std::string value = Attribute(device, name);
  if (value.size() != digits) {
    return {};
  }
  for (char c : value) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      return {};
    }
  }
  return Upper(std::move(value));
}

bool IsUsbDevice(udev_device* device) {
  return Is(udev_device_get_subsystem(device), "usb") &&
         Is(udev_device_get_devtype(device), "usb_device");
}

bool IsTty(udev_device* device) {
  return Is(udev_device_get_subsystem(device), "tty");
}

// A serial port with hardware behind it (ttyACM*, ttyUSB*, ttyS*), not a console or terminal.
bool IsHardwareTty(udev_device* device) {
  const std::string_view syspath = udev_device_get_syspath(device);
  return IsTty(device) && udev_device_get_parent(device) != nullptr &&
         syspath.find("/devices/virtual/") == std::string_view::npos;
}

// A value as Windows reports a text property: the text and its terminator.
std::string TextValue(std::string_view text) {
  std::string value(text);
  value.push_back('\0');
  return value;
}

// A multi-string value: each string with its terminator, then the empty string that ends it.
std::string ListValue(const std::vector<std::string>& strings) {
  std::string value;
  for (const std::string& s : strings) {
    value += s;
    value.push_back('\0');
  }
  value.push_back('\0');
  return value;
}

// Windows uses a device's serial number in its instance ID only when it is plain printable text
// without the ID's separators; otherwise the ID carries the device's place on the bus.
bool UsableSerial(const std::string& serial) {
  if (serial.empty()) {
    return false;
  }
  for (char c : serial) {
    if (c <= ' ' || c > '~' || c == '\\' || c == ',') {
      return false;
    }
  }
  return true;
}

// One node opened for a query, with the USB nodes above it that its answers come from. The
// borrowed pointers belong to `device` (libudev keeps a node's parents with it).
struct NodeView {
  DevicePtr device;
  udev_device* usbDevice = nullptr;     // the node itself when it is a USB device
  udev_device* usbInterface = nullptr;  // the interface that a tty belongs to
  bool tty = false;

  std::string vendor() const { return HexAttribute(usbDevice, "idVendor", 4); }
  std::string product() const { return HexAttribute(usbDevice, "idProduct", 4); }
  // The two hexadecimal digits of the interface number, or empty.
  std::string interfaceNumber() const {
    return usbInterface != nullptr ? HexAttribute(usbInterface, "bInterfaceNumber", 2) : "";
  }
  bool HasUsbIds() const { return usbDevice != nullptr && !vendor().empty() && !product().empty(); }
  std::string IdPrefix() const { return "USB\\VID_" + vendor() + "&PID_" + product(); }
  std::string Description() const {
    if (usbDevice == nullptr) {
      return std::string(PLAIN_SERIAL_PORT);
    }
    std::string name = Attribute(usbDevice, "product");
    return name.empty() ? std::string(UNNAMED_USB_DEVICE) : name;
  }
};

class UdevDeviceTree;

class UdevDeviceSet final : public DeviceSet {
 public:
  UdevDeviceSet(UdevDeviceTree& tree, std::vector<DevInst> members)
      : tree_(tree), members_(std::move(members)) {}
  bool Member(uint32_t index, DevInst& node) override;
  bool Property(uint32_t index, DeviceProperty property, std::string& value) override;
  bool PortName(uint32_t index, std::string& name) override;

 private:
  UdevDeviceTree& tree_;
  std::vector<DevInst> members_;
};

class UdevDeviceTree final : public DeviceTree {
 public:
  explicit UdevDeviceTree(UdevPtr context) : udev_(std::move(context)) {
    syspaths_.emplace_back();  // handle 0 names no node
  }

  std::unique_ptr<DeviceSet> Present(DeviceClass deviceClass) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!udev_) {
      return nullptr;
    }
    const bool serial = deviceClass == DeviceClass::SerialPort;
    EnumeratePtr enumerate(udev_enumerate_new(udev_.get()));
    if (!enumerate ||
        udev_enumerate_add_match_subsystem(enumerate.get(), serial ? "tty" : "usb") < 0 ||
        udev_enumerate_scan_devices(enumerate.get()) < 0) {
      return nullptr;
    }
    std::vector<DevInst> members;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
      const char* syspath = udev_list_entry_get_name(entry);
      DevicePtr device(udev_device_new_from_syspath(udev_.get(), syspath));
      if (!device || !(serial ? IsHardwareTty(device.get()) : IsUsbDevice(device.get()))) {
        continue;
      }
      if (DevInst handle = HandleOf(syspath); handle != 0) {
        members.push_back(handle);
      }
    }
    return std::make_unique<UdevDeviceSet>(*this, std::move(members));
  }

  // A tty's parent is its USB device (across the interface node), a USB device's parent is the
  // hub it hangs on; any other node's parent is the node above it.
  bool Parent(DevInst node, DevInst& parent) override {
    std::lock_guard<std::mutex> lock(mutex_);
    NodeView view = Open(node);
    if (!view.device) {
      return false;
    }
    udev_device* above = nullptr;
    if (view.usbDevice == view.device.get()) {
      above = udev_device_get_parent_with_subsystem_devtype(view.device.get(), "usb", "usb_device");
    } else if (view.usbDevice != nullptr) {
      above = view.usbDevice;
    } else {
      above = udev_device_get_parent(view.device.get());
    }
    if (above == nullptr) {
      return false;
    }
    const DevInst handle = HandleOf(udev_device_get_syspath(above));
    if (handle == 0) {
      return false;
    }
    parent = handle;
    return true;
  }

  // USB\VID_vvvv&PID_pppp\<serial or bus path> for a USB device,
  // USB\VID_vvvv&PID_pppp&MI_ii\<interface path> for a tty on a USB interface,
  // <SUBSYSTEM>\<NAME> for anything else.
  bool InstanceId(DevInst node, std::string& id) override {
    std::lock_guard<std::mutex> lock(mutex_);
    NodeView view = Open(node);
    if (!view.device) {
      return false;
    }
    if (view.usbDevice == nullptr) {
      const char* subsystem = udev_device_get_subsystem(view.device.get());
      id = Upper(std::string(subsystem != nullptr ? subsystem : "device") + "\\" +
                 udev_device_get_sysname(view.device.get()));
      return true;
    }
    if (!view.HasUsbIds()) {
      return false;
    }
    if (!view.tty) {
      const std::string serial = Attribute(view.usbDevice, "serial");
      id = view.IdPrefix() + "\\" +
           (UsableSerial(serial) ? serial : udev_device_get_sysname(view.usbDevice));
      return true;
    }
    const std::string number = view.interfaceNumber();
    id = number.empty() ? view.IdPrefix() + "\\" + udev_device_get_sysname(view.usbDevice)
                        : view.IdPrefix() + "&MI_" + number + "\\" +
                              udev_device_get_sysname(view.usbInterface);
    return true;
  }

  bool NodeProperty(DevInst node, DeviceProperty property, std::string& value) override {
    std::lock_guard<std::mutex> lock(mutex_);
    NodeView view = Open(node);
    if (!view.device || (!view.tty && view.usbDevice == nullptr)) {
      return false;  // only ports and USB devices have the properties asked for
    }
    switch (property) {
      case DeviceProperty::Service:
        return ServiceOf(view, value);
      case DeviceProperty::HardwareId:
        return HardwareIdsOf(view, value);
      case DeviceProperty::FriendlyName:
        return FriendlyNameOf(view, value);
      case DeviceProperty::LocationInformation:
        return LocationOf(view, value);
      case DeviceProperty::DeviceDesc:
        value = TextValue(view.Description());
        return true;
      case DeviceProperty::SerialNumber:
        return SerialOf(view, value);
    }
    return false;
  }

  // A tty's kernel name; for a USB device the name of its one tty, if it has exactly one.
  bool PortName(DevInst node, std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    NodeView view = Open(node);
    return view.device && PortNameOf(view, name);
  }

 private:
  // Caller holds mutex_.
  DevInst HandleOf(const char* syspath) {
    if (syspath == nullptr) {
      return 0;
    }
    if (auto known = handles_.find(syspath); known != handles_.end()) {
      return known->second;
    }
    if (syspaths_.size() >= std::numeric_limits<DevInst>::max()) {
      return 0;
    }
    const auto handle = static_cast<DevInst>(syspaths_.size());
    syspaths_.emplace_back(syspath);
    handles_.emplace(syspath, handle);
    return handle;
  }

  // Reads the node afresh; empty when the handle is unknown or the node has gone.
  NodeView Open(DevInst node) {
    NodeView view;
    if (!udev_ || node >= syspaths_.size() || syspaths_[node].empty()) {
      return view;
    }
    view.device.reset(udev_device_new_from_syspath(udev_.get(), syspaths_[node].c_str()));
    if (!view.device) {
      return view;
    }
    udev_device* device = view.device.get();
    if (IsUsbDevice(device)) {
      view.usbDevice = device;
    } else if (IsHardwareTty(device)) {
      view.tty = true;
      view.usbDevice = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
      view.usbInterface =
          udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_interface");
    }
    return view;
  }

  // The serial number udev read from the device's descriptor (ID_SERIAL_SHORT), else its
  // "serial" attribute; a USB device's only.
  static bool SerialOf(const NodeView& view, std::string& value) {
    if (view.tty || view.usbDevice == nullptr) {
      return false;
    }
    const char* property = udev_device_get_property_value(view.usbDevice, "ID_SERIAL_SHORT");
    const std::string serial =
        property != nullptr && *property != '\0' ? property : Attribute(view.usbDevice, "serial");
    if (serial.empty()) {
      return false;
    }
    value = TextValue(serial);
    return true;
  }

  static bool ServiceOf(const NodeView& view, std::string& value) {
    // A port is served by its interface's driver; a port off USB by the first driver above it.
    udev_device* owner = view.usbInterface != nullptr ? view.usbInterface : view.device.get();
    const char* driver = udev_device_get_driver(owner);
    if (view.tty && view.usbInterface == nullptr) {
      for (udev_device* above = udev_device_get_parent(owner);
           driver == nullptr && above != nullptr; above = udev_device_get_parent(above)) {
        driver = udev_device_get_driver(above);
      }
    }
    if (driver == nullptr || *driver == '\0') {
      return false;
    }
    value = TextValue(CDC_ACM_DRIVER == driver ? CDC_SERVICE : std::string_view(driver));
    return true;
  }

  static bool HardwareIdsOf(const NodeView& view, std::string& value) {
    if (!view.HasUsbIds()) {
      return false;
    }
    std::string revision = HexAttribute(view.usbDevice, "bcdDevice", 4);
    if (revision.empty()) {
      revision = "0000";
    }
    const std::string number = view.tty ? view.interfaceNumber() : "";
    const std::string interface = number.empty() ? "" : "&MI_" + number;
    value =
        ListValue({view.IdPrefix() + "&REV_" + revision + interface, view.IdPrefix() + interface});
    return true;
  }

  bool FriendlyNameOf(const NodeView& view, std::string& value) {
    std::string port;
    if (PortNameOf(view, port)) {
      value = TextValue(view.Description() + " (" + port + ")");
    } else {
      value = TextValue(view.Description());
    }
    return true;
  }

  static bool LocationOf(const NodeView& view, std::string& value) {
    if (view.usbDevice == nullptr) {
      return false;
    }
    // The bus-port path (1-1.2) names the physical port, so it stays when the device comes back
    // in another mode; a port adds its interface (1-1.2:1.0).
    udev_device* place = view.usbInterface != nullptr ? view.usbInterface : view.usbDevice;
    value = TextValue(udev_device_get_sysname(place));
    return true;
  }

  bool PortNameOf(const NodeView& view, std::string& name) {
    if (view.tty) {
      name = udev_device_get_sysname(view.device.get());
      return true;
    }
    if (view.usbDevice == nullptr) {
      return false;
    }
    const std::vector<std::string> ttys = TtysOf(view.usbDevice);
    if (ttys.size() != 1) {
      return false;  // several ports: the ports are nodes of their own
    }
    name = ttys.front();
    return true;
  }

  // The hardware ttys whose own USB device is `usb` (not those of devices on a hub below it).
  std::vector<std::string> TtysOf(udev_device* usb) {
    std::vector<std::string> names;
    EnumeratePtr enumerate(udev_enumerate_new(udev_.get()));
    if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), "tty") < 0 ||
        udev_enumerate_add_match_parent(enumerate.get(), usb) < 0 ||
        udev_enumerate_scan_devices(enumerate.get()) < 0) {
      return names;
    }
    const std::string_view usbPath = udev_device_get_syspath(usb);
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
      DevicePtr tty(udev_device_new_from_syspath(udev_.get(), udev_list_entry_get_name(entry)));
      if (!tty || !IsHardwareTty(tty.get())) {
        continue;
      }
      udev_device* owner =
          udev_device_get_parent_with_subsystem_devtype(tty.get(), "usb", "usb_device");
      if (owner != nullptr && usbPath == udev_device_get_syspath(owner)) {
        names.emplace_back(udev_device_get_sysname(tty.get()));
      }
    }
    return names;
  }

  std::mutex mutex_;
  UdevPtr udev_;
  std::vector<std::string> syspaths_;  // indexed by handle
  std::unordered_map<std::string, DevInst> handles_;
};

bool UdevDeviceSet::Member(uint32_t index, DevInst& node) {
  if (index >= members_.size()) {
    return false;
  }
  node = members_[index];
  return true;
}

bool UdevDeviceSet::Property(uint32_t index, DeviceProperty property, std::string& value) {
  return index < members_.size() && tree_.NodeProperty(members_[index], property, value);
}

bool UdevDeviceSet::PortName(uint32_t index, std::string& name) {
  return index < members_.size() && tree_.PortName(members_[index], name);
}

}  // namespace

std::unique_ptr<DeviceTree> MakeUdevDeviceTree() {
  UdevPtr context(udev_new());
  if (!context) {
    return nullptr;
  }
  return std::make_unique<UdevDeviceTree>(std::move(context));
}

DeviceTree& SystemDeviceTree() {
  // Without a udev context every class fails to list, as a system without device services would.
  static UdevDeviceTree tree{UdevPtr(udev_new())};
  return tree;
}

}  // namespace iapflash
