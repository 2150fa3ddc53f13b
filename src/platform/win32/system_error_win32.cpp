#include <windows.h>

#include <memory>

#include "platform/system_error.h"
#include "platform/win32/wide_text.h"

namespace iapflash {
namespace {

constexpr std::size_t SYSTEM_TEXT_SIZE = 100;

struct LocalFreer {
  void operator()(wchar_t* text) const { LocalFree(text); }
};

}  // namespace

SystemError LastSystemError() {
  return static_cast<SystemError>(GetLastError());
}

// The system's text for the code, in the user's language, with its own line end; at most 100
// characters. The system allocates the text, so a longer message is cut instead of lost.
std::string SystemErrorText(SystemError code) {
  wchar_t* raw = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&raw), 0,
      nullptr);
  const std::unique_ptr<wchar_t, LocalFreer> text(raw);
  if (length == 0 || !text) return {};
  std::size_t shown = length < SYSTEM_TEXT_SIZE ? length : SYSTEM_TEXT_SIZE;
  // Never keep half of a surrogate pair.
  if (shown < length && shown > 0 && IS_HIGH_SURROGATE(text.get()[shown - 1])) --shown;
  return Narrow(std::wstring_view(text.get(), shown));
}

void DebugOutput(const std::string& line) {
  OutputDebugStringW(Widen(line).c_str());
}

}  // namespace iapflash
