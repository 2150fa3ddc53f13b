#include <windows.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "platform/file_writer.h"
#include "platform/win32/wide_text.h"

namespace iapflash {
namespace {

// Between two pieces the write asks whether to stop: an interrupted write ends within one.
constexpr std::size_t WRITE_PIECE = 64 * 1024;

bool Stopped(const AtomicWriteOptions& options, SystemError& error) {
  if (!options.stopped || !options.stopped()) return false;
  error = CancelledError();
  return true;
}

// Where the last part of a path begins: after its last separator or a drive's colon.
std::size_t LastPartStart(const std::string& path) {
  const std::size_t separator = path.find_last_of("\\/:");
  return separator == std::string::npos ? 0 : separator + 1;
}

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
  bool Write(const uint8_t* data, std::size_t size, const AtomicWriteOptions& options,
             SystemError& error) {
    while (size > 0) {
      if (Stopped(options, error)) return false;
      const auto chunk = static_cast<DWORD>(std::min(size, WRITE_PIECE));
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
  bool RenameTo(const std::wstring& target, bool replaceReadOnly, SystemError& error) {
    // The system refuses to replace a read-only file: its mark goes first when that is wanted,
    // and comes back if the file stays.
    const DWORD attributes = GetFileAttributesW(target.c_str());
    const bool unmark = replaceReadOnly && attributes != INVALID_FILE_ATTRIBUTES &&
                        (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
                        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    if (unmark && !SetFileAttributesW(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
      error = static_cast<SystemError>(GetLastError());
      return false;
    }
    if (!MoveFileExW(path_.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      error = static_cast<SystemError>(GetLastError());
      if (unmark) SetFileAttributesW(target.c_str(), attributes);
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
                         SystemError& error, const AtomicWriteOptions& options) {
  const std::wstring target = Widen(utf8Path);
  if (target.empty() || target.back() == L'\\' || target.back() == L'/') {
    error = ERROR_INVALID_NAME;
    return false;
  }
  if (IsOtherThanFile(utf8Path)) {
    error = ERROR_ALREADY_EXISTS;
    return false;
  }
  TemporaryFile temporary;
  return temporary.Create(target, error) && temporary.Write(data, size, options, error) &&
         !Stopped(options, error) && temporary.RenameTo(target, options.replaceReadOnly, error);
}

bool SameFile(const std::string& utf8PathA, const std::string& utf8PathB) {
  BY_HANDLE_FILE_INFORMATION a{};
  BY_HANDLE_FILE_INFORMATION b{};
  return Identity(utf8PathA, a) && Identity(utf8PathB, b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

bool IsOtherThanFile(const std::string& utf8Path) {
  const std::wstring path = Widen(utf8Path);
  if (path.empty()) return false;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsReadOnlyFile(const std::string& utf8Path) {
  const std::wstring path = Widen(utf8Path);
  if (path.empty()) return false;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
         (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

std::string StoredPath(const std::string& utf8Path) {
  // The system drops trailing dots and blanks from a file's name; a name of nothing else is
  // left as it is (no file is made under it).
  const std::size_t start = LastPartStart(utf8Path);
  std::size_t end = utf8Path.size();
  while (end > start && (utf8Path[end - 1] == '.' || utf8Path[end - 1] == ' ')) --end;
  if (end == start) return utf8Path;
  return utf8Path.substr(0, end);
}

std::string StoredFileName(const std::string& utf8Path) {
  const std::string stored = StoredPath(utf8Path);
  return stored.substr(LastPartStart(stored));
}

std::string AbsolutePath(const std::string& utf8Path) {
  const std::wstring path = Widen(utf8Path);
  if (path.empty()) return utf8Path;
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return utf8Path;
  std::vector<wchar_t> full(needed);
  const DWORD written = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (written == 0 || written >= needed) return utf8Path;
  return Narrow(std::wstring_view(full.data(), written));
}

}  // namespace iapflash
