#include <windows.h>

#include <atomic>

#include "platform/file_writer.h"
#include "platform/win32/wide_text.h"

namespace iapflash {
namespace {

// Closes the handle and deletes the temporary file unless a rename took it over.
class TemporaryFile {
 public:
  ~TemporaryFile() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    if (!path_.empty()) DeleteFileW(path_.c_str());
  }
  bool Create(const std::wstring& target, SystemError& error) {
    static std::atomic<unsigned> counter{0};
    const std::size_t slash = target.find_last_of(L"\\/:");
    const std::wstring folder = slash == std::wstring::npos ? L"" : target.substr(0, slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
      // A short name of its own: the target's name may already be as long as a name can be.
      const std::wstring candidate = folder + L".iapflash-" +
                                     std::to_wstring(GetCurrentProcessId()) + L"-" +
                                     std::to_wstring(counter++) + L".tmp";
      // CREATE_NEW never reuses someone's file; nobody else opens it while it is written.
      handle_ = CreateFileW(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle_ != INVALID_HANDLE_VALUE) {
        path_ = candidate;
        return true;
      }
      if (GetLastError() != ERROR_FILE_EXISTS) break;
    }
    error = static_cast<SystemError>(GetLastError());
    return false;
  }
  bool Write(const uint8_t* data, std::size_t size, SystemError& error) {
    while (size > 0) {
      const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
      DWORD put = 0;
      if (!WriteFile(handle_, data, chunk, &put, nullptr)) {
        error = static_cast<SystemError>(GetLastError());
        return false;
      }
      data += put;
      size -= put;
    }
    const bool flushed = FlushFileBuffers(handle_) != 0;
    if (!flushed) error = static_cast<SystemError>(GetLastError());
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return flushed;
  }
  bool RenameTo(const std::wstring& target, SystemError& error) {
    if (!MoveFileExW(path_.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      error = static_cast<SystemError>(GetLastError());
      return false;
    }
    path_.clear();
    return true;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::wstring path_;
};

// The file's volume and index, its identity however the path is spelt.
bool Identity(const std::string& utf8Path, BY_HANDLE_FILE_INFORMATION& info) {
  const std::wstring path = Widen(utf8Path);
  if (path.empty()) return false;
  HANDLE handle =
      CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool ok = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  return ok;
}

}  // namespace

bool WriteFileAtomically(const std::string& utf8Path, const uint8_t* data, std::size_t size,
                         SystemError& error) {
  const std::wstring target = Widen(utf8Path);
  if (target.empty() || target.back() == L'\\' || target.back() == L'/') {
    error = ERROR_INVALID_NAME;
    return false;
  }
  TemporaryFile temporary;
  return temporary.Create(target, error) && temporary.Write(data, size, error) &&
         temporary.RenameTo(target, error);
}

bool SameFile(const std::string& utf8PathA, const std::string& utf8PathB) {
  BY_HANDLE_FILE_INFORMATION a{};
  BY_HANDLE_FILE_INFORMATION b{};
  return Identity(utf8PathA, a) && Identity(utf8PathB, b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

}  // namespace iapflash
