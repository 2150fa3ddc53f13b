#include <windows.h>

#include "platform/port_identity.h"
#include "platform/win32/wide_text.h"

namespace iapflash {
namespace {

constexpr char DEVICE_PREFIX[] = "\\\\.\\";

}  // namespace

std::string LocalPortPath(const std::string& name) {
  return name.rfind(DEVICE_PREFIX, 0) == 0 ? name : DEVICE_PREFIX + name;
}

// The system's own names of devices ignore case: COM7, com7 and \\.\Com7 open one port.
bool SameLocalPortDevice(const std::string& a, const std::string& b) {
  const std::wstring pathA = Widen(LocalPortPath(a));
  const std::wstring pathB = Widen(LocalPortPath(b));
  return CompareStringOrdinal(pathA.data(), static_cast<int>(pathA.size()), pathB.data(),
                              static_cast<int>(pathB.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace iapflash
