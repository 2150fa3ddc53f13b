// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <devpropdef.h>
// clang-format on

#include <limits>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/device_tree.h"
#include "platform/win32/wide_text.h"

namespace iapflash {
namespace {

// {86E0D1E0-8089-11D0-9CE4-08003E301F73}
constexpr GUID SERIAL_PORT_INTERFACE = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
// {A5DCBF10-6530-11D2-901F-00C04FB951ED}
constexpr GUID USB_DEVICE_INTERFACE = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

// DEVPKEY_Device_Parent: the instance ID of a node's parent (documented since Vista).
constexpr DEVPROPKEY PARENT_PROPERTY = {
    {0x4340A6C5, 0x93FA, 0x4706, {0x97, 0x2C, 0x7B, 0x64, 0x80, 0x08, 0xA5, 0xA7}}, 8};

// Every text is read into a buffer of 256 characters.
constexpr DWORD TEXT_CHARS = 256;

// A raw UTF-16 value of byteLength bytes, terminators included, as UTF-8 bytes.
std::string ValueText(const wchar_t* value, DWORD byteLength) {
  std::size_t chars = byteLength / sizeof(wchar_t);
  if (chars > TEXT_CHARS) chars = TEXT_CHARS;
  // Keep the terminators: a NUL converts to a NUL.
  std::string text;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= chars; ++i) {
    if (i == chars || value[i] == L'\0') {
      text += Narrow(std::wstring_view(value + start, i - start));
      if (i < chars) text += '\0';
      start = i + 1;
    }
  }
  return text;
}

DWORD SetupProperty(DeviceProperty property) {
  switch (property) {
    case DeviceProperty::Service:
      return SPDRP_SERVICE;
    case DeviceProperty::HardwareId:
      return SPDRP_HARDWAREID;
    case DeviceProperty::FriendlyName:
      return SPDRP_FRIENDLYNAME;
    case DeviceProperty::LocationInformation:
      return SPDRP_LOCATION_INFORMATION;
    case DeviceProperty::DeviceDesc:
      return SPDRP_DEVICEDESC;
    case DeviceProperty::SerialNumber:
      break;  // no registry property: read from the instance ID
  }
  return SPDRP_DEVICEDESC;
}

// Windows puts a USB device's serial number in its instance ID (USB\\VID_7F3C&PID_2C71\\ABC123)
// when the device has a usable one; otherwise the last part is its own, with '&' in it.
bool SerialFromInstanceId(std::wstring_view id, std::string& value) {
  const std::size_t slash = id.rfind(L'\\');
  if (slash == std::wstring_view::npos || id.substr(0, 4) != L"USB\\") return false;
  const std::wstring_view last = id.substr(slash + 1);
  if (last.empty() || last.find(L'&') != std::wstring_view::npos) return false;
  value = Narrow(last);
  value.push_back('\0');
  return true;
}

class RegistryKey {
 public:
  explicit RegistryKey(HKEY key) : key_(key) {}
  ~RegistryKey() {
    if (key_ != INVALID_HANDLE_VALUE && key_ != nullptr) RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  bool IsOpen() const { return key_ != INVALID_HANDLE_VALUE && key_ != nullptr; }
  HKEY Get() const { return key_; }

 private:
  HKEY key_;
};

bool ReadSetupProperty(HDEVINFO set, SP_DEVINFO_DATA& member, DeviceProperty property,
                       std::string& value) {
  wchar_t buffer[TEXT_CHARS] = {};
  DWORD required = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(set, &member, SetupProperty(property), nullptr,
                                         reinterpret_cast<BYTE*>(buffer), sizeof buffer,
                                         &required)) {
    return false;
  }
  value = ValueText(buffer, required);
  return true;
}

class DeviceInfoList {
 public:
  explicit DeviceInfoList(HDEVINFO set) : set_(set) {}
  ~DeviceInfoList() {
    if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
  }
  DeviceInfoList(const DeviceInfoList&) = delete;
  DeviceInfoList& operator=(const DeviceInfoList&) = delete;
  HDEVINFO Get() const { return set_; }

 private:
  HDEVINFO set_;
};

// One node opened by its instance ID, in a set of its own.
class OpenedNode {
 public:
  explicit OpenedNode(const std::wstring& id)
      : list_(SetupDiCreateDeviceInfoList(nullptr, nullptr)) {
    member_.cbSize = sizeof member_;
    opened_ = list_.Get() != INVALID_HANDLE_VALUE &&
              SetupDiOpenDeviceInfoW(list_.Get(), id.c_str(), nullptr, 0, &member_);
  }
  bool IsOpen() const { return opened_; }
  HDEVINFO Set() const { return list_.Get(); }
  SP_DEVINFO_DATA& Member() { return member_; }

 private:
  const DeviceInfoList list_;
  SP_DEVINFO_DATA member_{};
  bool opened_ = false;
};

// Nodes are known by their device instance ID, which names the same node in every set and on
// every Windows; a DEVINST is only valid while its node is present, and on some systems only
// within the set it came from. The handles that the tree hands out are numbers for those IDs,
// the same number for the same ID (compared without case, as the system does) for the tree's
// life; 0 names no node. Thread-safe: runs side by side scan and search for their devices.
class Win32DeviceTree final : public DeviceTree {
 public:
  Win32DeviceTree() { ids_.emplace_back(); }

  std::unique_ptr<DeviceSet> Present(DeviceClass deviceClass) override;

  bool Parent(DevInst node, DevInst& parent) override {
    const std::optional<std::wstring> id = IdOf(node);
    if (!id) return false;
    std::optional<std::wstring> parentId = ParentByProperty(*id);
    if (!parentId) parentId = ParentByManager(*id);
    if (!parentId) return false;
    const DevInst handle = HandleOf(*parentId);
    if (handle == 0) return false;
    parent = handle;
    return true;
  }

  bool InstanceId(DevInst node, std::string& id) override {
    const std::optional<std::wstring> known = IdOf(node);
    if (!known) return false;
    id = Narrow(*known);
    return true;
  }

  bool NodeProperty(DevInst node, DeviceProperty property, std::string& value) override {
    const std::optional<std::wstring> id = IdOf(node);
    if (!id) return false;
    if (property == DeviceProperty::SerialNumber) return SerialFromInstanceId(*id, value);
    OpenedNode opened(*id);
    return opened.IsOpen() && ReadSetupProperty(opened.Set(), opened.Member(), property, value);
  }

  // The handle of the node with this instance ID; 0 when no more can be handed out.
  DevInst HandleOf(const std::wstring& id) {
    if (id.empty()) return 0;
    const std::wstring key = Upper(id);
    const std::lock_guard lock(mutex_);
    if (auto known = handles_.find(key); known != handles_.end()) return known->second;
    if (ids_.size() >= std::numeric_limits<DevInst>::max()) return 0;
    const auto handle = static_cast<DevInst>(ids_.size());
    ids_.push_back(id);
    handles_.emplace(key, handle);
    return handle;
  }

 private:
  std::optional<std::wstring> IdOf(DevInst node) {
    const std::lock_guard lock(mutex_);
    if (node == 0 || node >= ids_.size()) return std::nullopt;
    return ids_[node];
  }

  static std::wstring Upper(std::wstring text) {
    if (!text.empty()) CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
  }

  // The parent's ID as the node's property DEVPKEY_Device_Parent.
  static std::optional<std::wstring> ParentByProperty(const std::wstring& id) {
    OpenedNode opened(id);
    if (!opened.IsOpen()) return std::nullopt;
    wchar_t buffer[TEXT_CHARS] = {};
    DEVPROPTYPE type = 0;
    DWORD required = 0;
    if (!SetupDiGetDevicePropertyW(opened.Set(), &opened.Member(), &PARENT_PROPERTY, &type,
                                   reinterpret_cast<BYTE*>(buffer), sizeof buffer - sizeof(wchar_t),
                                   &required, 0) ||
        type != DEVPROP_TYPE_STRING || buffer[0] == L'\0') {
      return std::nullopt;
    }
    return std::wstring(buffer);
  }

  // Where the property is absent: the configuration manager's parent of the present node.
  static std::optional<std::wstring> ParentByManager(const std::wstring& id) {
    std::wstring name = id;
    DEVINST node = 0;
    DEVINST parent = 0;
    wchar_t buffer[TEXT_CHARS] = {};
    if (CM_Locate_DevNodeW(&node, name.data(), CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS ||
        CM_Get_Parent(&parent, node, 0) != CR_SUCCESS ||
        CM_Get_Device_IDW(parent, buffer, TEXT_CHARS - 1, 0) != CR_SUCCESS || buffer[0] == L'\0') {
      return std::nullopt;
    }
    return std::wstring(buffer);
  }

  std::mutex mutex_;
  std::vector<std::wstring> ids_;                      // indexed by handle
  std::unordered_map<std::wstring, DevInst> handles_;  // by the ID in capitals
};

class Win32DeviceSet final : public DeviceSet {
 public:
  Win32DeviceSet(Win32DeviceTree& tree, HDEVINFO set) : tree_(tree), list_(set) {}

  bool Member(uint32_t index, DevInst& node) override {
    SP_DEVINFO_DATA member{};
    if (!Enum(index, member)) return false;
    wchar_t id[TEXT_CHARS] = {};
    if (!SetupDiGetDeviceInstanceIdW(list_.Get(), &member, id, TEXT_CHARS - 1, nullptr)) {
      // A member whose ID cannot be read is no node the tree can name again.
      node = 0;
      return true;
    }
    node = tree_.HandleOf(id);
    return true;
  }

  bool Property(uint32_t index, DeviceProperty property, std::string& value) override {
    SP_DEVINFO_DATA member{};
    if (property == DeviceProperty::SerialNumber) return false;  // asked of the node
    return Enum(index, member) && ReadSetupProperty(list_.Get(), member, property, value);
  }

  // Read access is all that is needed; the port's name is never changed.
  bool PortName(uint32_t index, std::string& name) override {
    SP_DEVINFO_DATA member{};
    if (!Enum(index, member)) return false;
    const RegistryKey key(SetupDiOpenDevRegKey(list_.Get(), &member, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                               KEY_QUERY_VALUE));
    if (!key.IsOpen()) return false;
    wchar_t buffer[TEXT_CHARS] = {};
    DWORD type = REG_SZ;
    DWORD length = sizeof buffer - sizeof(wchar_t);  // room left for a terminator
    if (RegQueryValueExW(key.Get(), L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                         &length) != ERROR_SUCCESS) {
      return false;
    }
    if (type != REG_SZ && length < 1) return false;
    name = Narrow(std::wstring_view(buffer));
    return true;
  }

 private:
  bool Enum(uint32_t index, SP_DEVINFO_DATA& member) {
    member.cbSize = sizeof member;
    return SetupDiEnumDeviceInfo(list_.Get(), index, &member) != 0;
  }

  Win32DeviceTree& tree_;
  const DeviceInfoList list_;
};

std::unique_ptr<DeviceSet> Win32DeviceTree::Present(DeviceClass deviceClass) {
  const GUID& interfaceClass =
      deviceClass == DeviceClass::SerialPort ? SERIAL_PORT_INTERFACE : USB_DEVICE_INTERFACE;
  HDEVINFO set = SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32DeviceSet>(*this, set);
}

}  // namespace

DeviceTree& SystemDeviceTree() {
  static Win32DeviceTree tree;
  return tree;
}

}  // namespace iapflash
