#pragma once

#include <string>
#include <string_view>

namespace iapflash {

// UTF-8 inside, UTF-16 at the W APIs. Invalid sequences become U+FFFD.
std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

}  // namespace iapflash
