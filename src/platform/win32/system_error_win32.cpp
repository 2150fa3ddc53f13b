#include <windows.h>

#include <memory>

#include "platform/system_error.h"
#include "platform/win32/wide_text.h"

namespace iapflash {
namespace {

struct LocalFreer {
  void operator()(wchar_t* text) const { LocalFree(text); }
};

}  // namespace

SystemError LastSystemError() {
  return static_cast<SystemError>(GetLastError());
}

SystemError CancelledError() {
  return ERROR_OPERATION_ABORTED;
}

// The system's text for the code, in the user's language, with its own line end. The system
// allocates the text, so a long message is never lost; the log cuts it.
std::string SystemErrorText(SystemError code) {
  wchar_t* raw = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&raw), 0,
      nullptr);
  const std::unique_ptr<wchar_t, LocalFreer> text(raw);
  if (length == 0 || !text) return {};
  return Narrow(std::wstring_view(text.get(), length));
}

void DebugOutput(const std::string& line) {
  OutputDebugStringW(Widen(line).c_str());
}

}  // namespace iapflash
