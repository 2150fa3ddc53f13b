#include <windows.h>

#include <optional>

#include "platform/record_file.h"
#include "platform/win32/wide_text.h"

namespace iapflash {
namespace {

class Win32RecordFile final : public RecordFile {
 public:
  explicit Win32RecordFile(HANDLE file) : file_(file) {}
  ~Win32RecordFile() override { CloseHandle(file_); }
  Win32RecordFile(const Win32RecordFile&) = delete;
  Win32RecordFile& operator=(const Win32RecordFile&) = delete;

  bool Append(std::string_view text, SystemError& error) override {
    // A line a failed append left cut short goes first, or the next line would run on from it.
    if (cutTo_ && !Truncate(*cutTo_, error)) return false;
    cutTo_.reset();
    LARGE_INTEGER size{};
    LARGE_INTEGER none{};
    if (!GetFileSizeEx(file_, &size) || !SetFilePointerEx(file_, none, nullptr, FILE_END)) {
      return Failed(error);
    }
    while (!text.empty()) {
      DWORD written = 0;
      const DWORD chunk = text.size() > 0x10000000 ? 0x10000000 : static_cast<DWORD>(text.size());
      if (!WriteFile(file_, text.data(), chunk, &written, nullptr)) return Undo(size, error);
      text.remove_prefix(written);
    }
    if (!FlushFileBuffers(file_)) return Undo(size, error);
    return true;
  }

  // Cuts off a last line without its end: what a crash in the middle of a write leaves.
  bool CutPartialLine(SystemError& error) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file_, &size)) return Failed(error);
    LONGLONG end = size.QuadPart;
    char block[4096];
    while (end > 0) {
      const LONGLONG start =
          end > static_cast<LONGLONG>(sizeof block) ? end - static_cast<LONGLONG>(sizeof block) : 0;
      LARGE_INTEGER at{};
      at.QuadPart = start;
      DWORD got = 0;
      if (!SetFilePointerEx(file_, at, nullptr, FILE_BEGIN) ||
          !ReadFile(file_, block, static_cast<DWORD>(end - start), &got, nullptr) ||
          got != end - start) {
        return Failed(error);
      }
      for (LONGLONG k = got; k > 0; --k) {
        if (block[k - 1] != '\n') continue;
        if (start + k == size.QuadPart) return true;
        return Truncate(start + k, error);
      }
      end = start;
    }
    return size.QuadPart == 0 || Truncate(0, error);
  }

 private:
  bool Truncate(LONGLONG size, SystemError& error) {
    LARGE_INTEGER at{};
    at.QuadPart = size;
    if (!SetFilePointerEx(file_, at, nullptr, FILE_BEGIN) || !SetEndOfFile(file_) ||
        !FlushFileBuffers(file_)) {
      return Failed(error);
    }
    return true;
  }
  static bool Failed(SystemError& error) {
    error = GetLastError();
    return false;
  }
  // A full disk or a failed flush: the file is cut back to where the append began, so that it
  // keeps whole lines only; when even that fails, the next append tries again first.
  bool Undo(LARGE_INTEGER size, SystemError& error) {
    error = GetLastError();
    SystemError ignored = 0;
    if (!Truncate(size.QuadPart, ignored)) cutTo_ = size.QuadPart;
    return false;
  }

  HANDLE file_;
  std::optional<LONGLONG> cutTo_;
};

}  // namespace

std::unique_ptr<RecordFile> OpenRecordFile(const std::string& utf8Path, SystemError& error) {
  const HANDLE file =
      CreateFileW(Widen(utf8Path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return nullptr;
  }
  auto records = std::make_unique<Win32RecordFile>(file);
  if (!records->CutPartialLine(error)) return nullptr;
  return records;
}

}  // namespace iapflash
