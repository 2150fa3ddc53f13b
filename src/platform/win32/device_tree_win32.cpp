// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
// clang-format on

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
  }
  return SPDRP_DEVICEDESC;
}

// The configuration manager numbers the same properties one higher.
ULONG ManagerProperty(DeviceProperty property) {
  return SetupProperty(property) + 1;
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

class Win32DeviceSet final : public DeviceSet {
 public:
  explicit Win32DeviceSet(HDEVINFO set) : list_(set) {}

  bool Member(uint32_t index, DevInst& node) override {
    SP_DEVINFO_DATA member{};
    if (!Enum(index, member)) return false;
    node = member.DevInst;
    return true;
  }

  bool Property(uint32_t index, DeviceProperty property, std::string& value) override {
    SP_DEVINFO_DATA member{};
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

  const DeviceInfoList list_;
};

class Win32DeviceTree final : public DeviceTree {
 public:
  std::unique_ptr<DeviceSet> Present(DeviceClass deviceClass) override {
    const GUID& interfaceClass =
        deviceClass == DeviceClass::SerialPort ? SERIAL_PORT_INTERFACE : USB_DEVICE_INTERFACE;
    HDEVINFO set = SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32DeviceSet>(set);
  }

  bool Parent(DevInst node, DevInst& parent) override {
    DEVINST found = 0;
    if (CM_Get_Parent(&found, node, 0) != CR_SUCCESS) return false;
    parent = found;
    return true;
  }

  bool InstanceId(DevInst node, std::string& id) override {
    wchar_t buffer[TEXT_CHARS] = {};
    if (CM_Get_Device_IDW(node, buffer, TEXT_CHARS, 0) != CR_SUCCESS) return false;
    // The call may fill the whole buffer without a terminator.
    buffer[TEXT_CHARS - 1] = L'\0';
    id = Narrow(std::wstring_view(buffer));
    return true;
  }

  bool NodeProperty(DevInst node, DeviceProperty property, std::string& value) override {
    wchar_t buffer[TEXT_CHARS] = {};
    ULONG length = sizeof buffer;
    if (CM_Get_DevNode_Registry_PropertyW(node, ManagerProperty(property), nullptr, buffer, &length,
                                          0) == CR_SUCCESS) {
      value = ValueText(buffer, length);
      return true;
    }
    // Some systems (Wine among them) do not answer this call; SetupAPI holds the same property.
    return NodePropertyThroughSetupApi(node, property, value);
  }

 private:
  bool NodePropertyThroughSetupApi(DevInst node, DeviceProperty property, std::string& value) {
    wchar_t id[TEXT_CHARS] = {};
    if (CM_Get_Device_IDW(node, id, TEXT_CHARS, 0) != CR_SUCCESS) return false;
    id[TEXT_CHARS - 1] = L'\0';
    const DeviceInfoList set(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    if (set.Get() == INVALID_HANDLE_VALUE) return false;
    SP_DEVINFO_DATA member{};
    member.cbSize = sizeof member;
    if (!SetupDiOpenDeviceInfoW(set.Get(), id, nullptr, 0, &member)) return false;
    return ReadSetupProperty(set.Get(), member, property, value);
  }
};

}  // namespace

DeviceTree& SystemDeviceTree() {
  static Win32DeviceTree tree;
  return tree;
}

}  // namespace iapflash
