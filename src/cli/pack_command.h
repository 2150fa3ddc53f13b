#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace iapflash::cli {

struct PackOptions {
  std::string in;
  std::string out;
  std::optional<uint32_t> base;
  bool force = false;  // replace an OUT marked read-only
};

// `iapflash pack`: the update file for a build's output, written atomically; 0 when written,
// 1 when refused (the reason on stderr), 128 + the signal's number when a signal stopped the
// write (OUT then as it was, no temporary file left).
int RunPack(const PackOptions& options);

// The whole file through the platform's reader, for pack and info alike; false with why in
// problem (a file larger than pack reads is refused before it is read).
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& problem);

// A 32-bit value as pack and info show it: 0x08004000.
std::string Hex32(uint32_t value);

// An address as written on the command line: 0x08004000 or decimal. nullopt unless it is a
// number of 32 bits.
std::optional<uint32_t> ParseAddress(std::string_view text);

}  // namespace iapflash::cli
