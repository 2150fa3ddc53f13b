#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace iapflash {

// The 512-byte header "IAP_UPDATA_FILE" (with its zero, the rest zeros), then the image: raw
// (BIN) or as Intel HEX text in the strict form the loader reads.
std::vector<uint8_t> MakeUpdateFile(const std::vector<uint8_t>& image, bool hexPayload);

// Whether a build's output is taken as Intel HEX: its name contains ".hex" in any case (the
// loader's own rule), or its content is text that begins with the record mark ':'. Otherwise
// it is a raw binary.
bool IsBuildHex(std::string_view name, std::string_view content);

struct PackResult {
  bool ok = false;
  bool inputHex = false;
  std::vector<uint8_t> image;  // what the loader is to make of file
  uint32_t base = 0;           // HEX input: the address of image byte 0
  std::vector<uint8_t> file;   // the update file
  // On failure: why, and for HEX input where (line and column from 1, 0 when nowhere).
  std::string message;
  uint32_t line = 0;
  uint32_t column = 0;
};

// Makes the update file for a build's output, named inName with content, as BIN or HEX
// (hexPayload); base applies to HEX input only. The image holds at most capacity bytes.
PackResult PackUpdate(std::string_view inName, std::string_view content,
                      std::optional<uint32_t> base, bool hexPayload, uint32_t capacity);

}  // namespace iapflash
