#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace iapflash {

// What a build's Intel HEX output turns into, or why it cannot.
struct BuildHexResult {
  bool ok = false;
  std::vector<uint8_t> image;  // offset 0 is the base address; gaps are 0xFF
  uint32_t base = 0;           // the address of image byte 0
  // On failure: what is wrong, and where (line and column from 1; 0 when no place is to blame).
  std::string message;
  uint32_t line = 0;
  uint32_t column = 0;
};

// Reads Intel HEX as build tools write it: LF or CR LF line ends, blank lines, any record length,
// record types 0 to 5, extended segment and extended linear addresses, every checksum verified.
// The image starts at base (default: the lowest data address) and may not exceed capacity bytes.
// Refused: malformed text, no end-of-file record or text after it, no data, data below the
// base, overlapping records with different data, an image larger than capacity.
BuildHexResult ReadBuildHex(std::string_view text, std::optional<uint32_t> base, uint32_t capacity);

}  // namespace iapflash
