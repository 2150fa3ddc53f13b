#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace iapflash::cli {

// What the download run's loader makes of an update file. The one place that calls the loader
// for pack and info, so that a change of its interface is met here only.
struct LoaderView {
  bool accepted = false;
  bool hex = false;  // the kind the loader takes from the path
  std::vector<uint8_t> image;
  uint32_t checksum = 0;
  std::vector<std::string> lines;  // what it logged, one entry a line, line ends removed
};

// The loader's verdict on the file at path, read as a download would read it.
LoaderView LoadLikeTheLoader(const std::string& path);

// The same for bytes not yet written, as if they were the file at path.
LoaderView LoadBytesLikeTheLoader(const std::string& path, const std::vector<uint8_t>& file);

// Where in an update file's HEX text the loader's strict reading stops.
struct HexTextStop {
  uint32_t line = 0;    // from 1, in the text after the header
  uint32_t column = 0;  // from 1, in bytes
  uint32_t fileOffset = 0;
  std::string reason;
};
// nullopt when the file has no header and payload to read, or the text reads through.
std::optional<HexTextStop> StrictHexStop(const std::vector<uint8_t>& file);

}  // namespace iapflash::cli
