#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace iapflash::testing {

// One Intel HEX record with a correct checksum, upper-case digits and the given line end.
inline std::string HexRecord(uint8_t type, uint16_t address, const std::vector<uint8_t>& data,
                             const std::string& lineEnd = "\r\n") {
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size()),
                                static_cast<uint8_t>(address >> 8),
                                static_cast<uint8_t>(address & 0xFF), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  bytes.push_back(static_cast<uint8_t>(-sum));
  std::string text = ":";
  char digits[3];
  for (uint8_t b : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", b);
    text += digits;
  }
  return text + lineEnd;
}

inline std::string HexData(uint16_t address, const std::vector<uint8_t>& data) {
  return HexRecord(0, address, data);
}

inline const std::string HEX_END = ":00000001FF\r\n";

}  // namespace iapflash::testing
