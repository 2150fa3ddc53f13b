#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

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

// Intel HEX text of the image: an extended linear address record for each 64 KiB, data records
// of bytesPerRecord bytes, CR LF line ends, an end record.
inline std::string HexTextOf(const std::vector<uint8_t>& image, uint32_t bytesPerRecord) {
  static constexpr char DIGITS[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(image.size() / bytesPerRecord * (2 * bytesPerRecord + 13) + 64);
  auto put = [&](uint8_t b, uint8_t& sum) {
    text += DIGITS[b >> 4];
    text += DIGITS[b & 0xF];
    sum = static_cast<uint8_t>(sum + b);
  };
  for (uint32_t offset = 0; offset < image.size(); offset += bytesPerRecord) {
    if (offset % 0x10000 == 0) {
      uint8_t sum = 0;
      text += ':';
      for (uint8_t b : {uint8_t{2}, uint8_t{0}, uint8_t{0}, uint8_t{4}, uint8_t{0}}) put(b, sum);
      put(static_cast<uint8_t>(offset >> 16), sum);
      uint8_t ignored = 0;
      put(static_cast<uint8_t>(-sum), ignored);
      text += "\r\n";
    }
    const uint32_t count =
        std::min<uint32_t>(bytesPerRecord, static_cast<uint32_t>(image.size()) - offset);
    uint8_t sum = 0;
    text += ':';
    put(static_cast<uint8_t>(count), sum);
    put(static_cast<uint8_t>(offset >> 8), sum);
    put(static_cast<uint8_t>(offset), sum);
    put(0, sum);
    for (uint32_t i = 0; i < count; ++i) put(image[offset + i], sum);
    uint8_t ignored = 0;
    put(static_cast<uint8_t>(-sum), ignored);
    text += "\r\n";
  }
  return text + ":00000001FF\r\n";
}

}  // namespace iapflash::bench
