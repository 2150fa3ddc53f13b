#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/hex_writer.h"

namespace iapflash::bench {

// A deterministic image of the given size.
inline std::vector<uint8_t> SampleImage(uint32_t size) {
  std::vector<uint8_t> image(size);
  uint32_t x = 0x12345678;
  for (auto& b : image) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return image;
}

// Intel HEX text of the image in the form the loader reads, bytesPerRecord bytes a record.
inline std::string HexTextOf(const std::vector<uint8_t>& image, uint32_t bytesPerRecord) {
  return StrictHexText(image.data(), static_cast<uint32_t>(image.size()), bytesPerRecord);
}

}  // namespace iapflash::bench
