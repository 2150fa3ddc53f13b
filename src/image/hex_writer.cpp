#include "image/hex_writer.h"

#include <algorithm>

#include "image/hex_image.h"

namespace iapflash {
namespace {

class RecordWriter {
 public:
  explicit RecordWriter(std::string& text) : text_(text) {}

  void Record(uint8_t type, uint16_t address, const uint8_t* data, uint32_t count) {
    sum_ = 0;
    text_ += ':';
    Byte(static_cast<uint8_t>(count));
    Byte(static_cast<uint8_t>(address >> 8));
    Byte(static_cast<uint8_t>(address));
    Byte(type);
    for (uint32_t i = 0; i < count; ++i) Byte(data[i]);
    Byte(static_cast<uint8_t>(-sum_));
    text_ += "\r\n";
  }

 private:
  void Byte(uint8_t b) {
    static constexpr char HEX_DIGITS[] = "0123456789ABCDEF";
    text_ += HEX_DIGITS[b >> 4];
    text_ += HEX_DIGITS[b & 0xF];
    sum_ = static_cast<uint8_t>(sum_ + b);
  }

  std::string& text_;
  uint8_t sum_ = 0;
};

}  // namespace

std::string StrictHexText(const uint8_t* image, uint32_t length, uint32_t bytesPerRecord) {
  bytesPerRecord = std::clamp<uint32_t>(bytesPerRecord, 1, 255);
  std::string text;
  text.reserve(static_cast<std::size_t>(length) / bytesPerRecord * (2 * bytesPerRecord + 13) +
               2 * bytesPerRecord + 64);
  RecordWriter writer(text);
  uint32_t upper = 0;  // the loader starts with a linear base of 0
  for (uint32_t offset = 0; offset < length;) {
    if (offset >> 16 != upper) {
      upper = offset >> 16;
      const uint8_t base[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
      writer.Record(EXTENDED_LINEAR_ADDRESS, 0, base, 2);
    }
    // A record never crosses a 64 KiB boundary: its address is 16 bits under one base.
    const uint32_t toBoundary = 0x10000 - (offset & 0xFFFF);
    const uint32_t count = std::min({bytesPerRecord, length - offset, toBoundary});
    writer.Record(DATA, static_cast<uint16_t>(offset), image + offset, count);
    offset += count;
  }
  writer.Record(END_OF_FILE, 0, nullptr, 0);
  return text;
}

}  // namespace iapflash
