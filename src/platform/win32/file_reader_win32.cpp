#include <windows.h>

#include "platform/file_reader.h"
#include "platform/win32/wide_text.h"

namespace iapflash {
namespace {

class Win32File final : public ReadOnlyFile {
 public:
  explicit Win32File(HANDLE handle) : handle_(handle) {}
  ~Win32File() override { CloseHandle(handle_); }
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  uint64_t Size() override {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle_, &size) || size.QuadPart < 0) return 0;
    return static_cast<uint64_t>(size.QuadPart);
  }

  IoResult Read(uint8_t* buffer, uint32_t size) override {
    IoResult result;
    // ReadFile may stop short of the request; keep going until the file ends.
    while (result.count < size) {
      DWORD got = 0;
      if (!ReadFile(handle_, buffer + result.count, size - result.count, &got, nullptr)) {
        result.error = static_cast<SystemError>(GetLastError());
        return result;
      }
      if (got == 0) break;
      result.count += got;
    }
    result.ok = true;
    return result;
  }

 private:
  HANDLE handle_;
};

}  // namespace

std::unique_ptr<ReadOnlyFile> OpenForReading(const std::string& utf8Path, SystemError& error) {
  const std::wstring path = Widen(utf8Path);
  if (path.empty()) {
    error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = static_cast<SystemError>(GetLastError());
    return nullptr;
  }
  return std::make_unique<Win32File>(handle);
}

bool FileExists(const std::string& utf8Path) {
  const std::wstring path = Widen(utf8Path);
  if (path.empty() || !PathWithinLimit(utf8Path)) return false;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace iapflash

namespace iapflash {

// The longest path the system's file calls take, in UTF-16 units. Whether a path over 259 units
// opens is the system's to say (Windows 10 1607 and later open it when long paths are enabled
// there; both programs' manifests declare longPathAware): where it does not, the open fails with
// its own error. No path is ever cut.
bool PathWithinLimit(const std::string& utf8Path) {
  constexpr std::size_t MAX_PATH_UNITS = 32767;
  return Widen(utf8Path).size() <= MAX_PATH_UNITS;
}

}  // namespace iapflash
