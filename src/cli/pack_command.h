#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// `iapflash info`: what the loader makes of a file, on stdout; 0 when it accepts the file,
// 1 when it refuses it.
int RunInfo(const std::string& file);

// An address as written on the command line: 0x08004000 or decimal. nullopt unless it is a
// number of 32 bits.
std::optional<uint32_t> ParseAddress(std::string_view text);

}  // namespace iapflash::cli
