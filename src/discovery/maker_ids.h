#pragma once

#include <algorithm>
#include <array>
#include <string_view>

namespace iapflash {

// The maker's two USB vendor IDs and the product ID of the microcontroller's IAP boot program,
// as the system writes them into device IDs ("USB\VID_7F3C&PID_2C71\...").
inline constexpr std::array<std::string_view, 2> MAKER_VENDOR_IDS{"7F3C", "6B2D"};
inline constexpr std::string_view BOOT_VENDOR_ID = "7F3C";
inline constexpr std::string_view BOOT_PRODUCT_ID = "2C71";

// Whether id appears in text; with marked, only right after an underscore ("VID_7F3C").
inline bool ContainsId(std::string_view text, std::string_view id, bool marked = false) {
  for (std::size_t at = text.find(id); at != text.npos; at = text.find(id, at + 1)) {
    if (!marked || (at > 0 && text[at - 1] == '_')) return true;
  }
  return false;
}

inline bool ContainsMakerId(std::string_view text, bool marked = false) {
  return std::any_of(MAKER_VENDOR_IDS.begin(), MAKER_VENDOR_IDS.end(),
                     [&](std::string_view id) { return ContainsId(text, id, marked); });
}

// Whether text names the boot program: both its IDs appear in it.
inline bool ContainsBootProgramId(std::string_view text, bool marked = false) {
  return ContainsId(text, BOOT_VENDOR_ID, marked) && ContainsId(text, BOOT_PRODUCT_ID, marked);
}

}  // namespace iapflash
