#include <windows.h>

#include <climits>

#include "platform/win32/wide_text.h"

namespace iapflash {

std::wstring Widen(std::string_view utf8) {
  if (utf8.empty() || utf8.size() > INT_MAX) return {};
  const int size = static_cast<int>(utf8.size());
  const int wanted = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  if (wanted <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(wanted), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), wanted);
  return wide;
}

std::string Narrow(std::wstring_view utf16) {
  if (utf16.empty() || utf16.size() > INT_MAX) return {};
  const int size = static_cast<int>(utf16.size());
  const int wanted =
      WideCharToMultiByte(CP_UTF8, 0, utf16.data(), size, nullptr, 0, nullptr, nullptr);
  if (wanted <= 0) return {};
  std::string narrow(static_cast<std::size_t>(wanted), '\0');
  WideCharToMultiByte(CP_UTF8, 0, utf16.data(), size, narrow.data(), wanted, nullptr, nullptr);
  return narrow;
}

}  // namespace iapflash
