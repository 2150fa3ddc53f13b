// Changes a device registry under a running program, as the system does when a device leaves and
// another comes: waits until the file TRIGGER exists, then applies the lines of CHANGES
// (tests/wine/device_registry.py writes them): "-LINK" deletes the interface LINK under
// HKLM\System\CurrentControlSet\Control\DeviceClasses, "+LINK INSTANCE" makes it, linked, for
// the device INSTANCE. Started before the program under test, so that the change takes no
// process start once triggered.
//   registry_switch.exe TRIGGER CHANGES        exit 0 when every change was made
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

namespace {

constexpr const wchar_t* CLASSES = L"System\\CurrentControlSet\\Control\\DeviceClasses\\";

std::wstring Wide(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  const int made = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       wide.data(), static_cast<int>(wide.size()));
  wide.resize(made > 0 ? static_cast<std::size_t>(made) : 0);
  return wide;
}

bool SetKey(const std::wstring& path, const wchar_t* name, const std::wstring* text, DWORD number) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const LONG set =
      text ? RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text->c_str()),
                            static_cast<DWORD>((text->size() + 1) * sizeof(wchar_t)))
           : RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                            sizeof number);
  RegCloseKey(key);
  return set == ERROR_SUCCESS;
}

bool Apply(const std::string& line) {
  if (line.size() < 2) return true;
  if (line[0] == '-') {
    const std::wstring path = CLASSES + Wide(line.substr(1));
    // With a subkey named, the key itself goes too.
    return RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str()) == ERROR_SUCCESS;
  }
  const std::size_t blank = line.find(' ');
  if (line[0] != '+' || blank == std::string::npos) return false;
  const std::wstring link = Wide(line.substr(1, blank - 1));
  const std::wstring instance = Wide(line.substr(blank + 1));
  const std::wstring path = CLASSES + link;
  const std::wstring symbolic = L"\\\\?\\" + link.substr(link.find(L"##?#") + 4);
  return SetKey(path + L"\\#\\Control", L"Linked", nullptr, 1) &&
         SetKey(path + L"\\#", L"SymbolicLink", &symbolic, 0) &&
         SetKey(path + L"\\Control", L"Linked", nullptr, 1) &&
         SetKey(path, L"DeviceInstance", &instance, 0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::printf("usage: registry_switch.exe TRIGGER CHANGES\n");
    return 2;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (GetFileAttributesA(argv[1]) == INVALID_FILE_ATTRIBUTES) {
    if (std::chrono::steady_clock::now() > end) {
      std::printf("registry_switch: never triggered\n");
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::ifstream changes(argv[2]);
  std::string line;
  bool ok = true;
  while (std::getline(changes, line)) {
    if (!Apply(line)) {
      std::printf("registry_switch: failed: %s\n", line.c_str());
      ok = false;
    }
  }
  std::printf("registry_switch: switched\n");
  return ok ? 0 : 1;
}
