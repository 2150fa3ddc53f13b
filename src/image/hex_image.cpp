#include "image/hex_image.h"

#include <array>
#include <cstring>

namespace iapflash {
namespace {

// Digit values, with INVALID_DIGIT for anything that is not a hexadecimal digit; one table
// lookup per character keeps the walk fast.
constexpr uint8_t INVALID_DIGIT = 0xF0;

constexpr std::array<uint8_t, 256> MakeDigitTable() {
  std::array<uint8_t, 256> table{};
  for (auto& value : table) value = INVALID_DIGIT;
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<uint8_t>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<uint8_t>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<uint8_t>(c - 'a' + 10);
  return table;
}

constexpr std::array<uint8_t, 256> DIGITS = MakeDigitTable();

inline uint8_t Digit(char c) {
  return DIGITS[static_cast<uint8_t>(c)];
}

// Record layout, in characters from the colon.
constexpr uint32_t RECORD_OVERHEAD = 13;    // colon, count, address, type, checksum, line end
constexpr uint32_t BASE_RECORD_STEP = 17;   // types 2 and 4: two data bytes
constexpr uint32_t START_RECORD_STEP = 21;  // types 3 and 5: four data bytes

// Address high, address low, type, up to 255 data bytes, checksum.
constexpr uint32_t RECORD_SCRATCH_SIZE = 259;

}  // namespace

bool DecodeHexByte(char high, char low, uint8_t& value) {
  const uint8_t h = Digit(high);
  const uint8_t l = Digit(low);
  if ((h | l) & INVALID_DIGIT) return false;
  value = static_cast<uint8_t>(h << 4 | l);
  return true;
}

bool ConvertHexImage(const char* text, uint32_t textLength, uint8_t* image, uint32_t capacity,
                     uint32_t& imageLength, HexStop* stop) {
  // Faults are rare: where and why is worked out only then.
  auto fail = [&](uint64_t at, const char* reason) {
    if (stop) {
      stop->position = static_cast<uint32_t>(at < textLength ? at : textLength);
      stop->reason = reason;
    }
    return false;
  };
  std::memset(image, 0xFF, textLength < capacity ? textLength : capacity);
  imageLength = 0;
  uint16_t segmentBase = 0;
  uint16_t linearBase = 0;
  // Kept across records: a base record with fewer than two data bytes reads what is there.
  uint8_t record[RECORD_SCRATCH_SIZE] = {};

  // 64-bit, so that the fixed steps past the end of the text cannot wrap.
  uint64_t position = 0;
  for (;;) {
    if (position + 2 > textLength) {
      return fail(position, "the text ends before an end-of-file record");
    }
    if (text[position] != ':') {
      return fail(
          position,
          "a record must begin here with ':' (each record ends in exactly two characters, CR LF)");
    }
    const uint64_t remaining = textLength - position;
    if (remaining < RECORD_OVERHEAD) {
      return fail(position, "the record runs past the end of the text");
    }
    const char* field = text + position + 1;
    uint8_t count = 0;
    if (!DecodeHexByte(field[0], field[1], count)) {
      return fail(position + (Digit(field[0]) & INVALID_DIGIT ? 1 : 2), "not a hexadecimal digit");
    }
    if (2u * count + RECORD_OVERHEAD > remaining) {
      return fail(position, "the record runs past the end of the text");
    }

    // Decode address, type, data and checksum; the digits are checked once at the end.
    const uint32_t bytes = count + 4u;
    const char* digits = field + 2;
    uint8_t invalid = 0;
    uint8_t sum = count;
    for (uint32_t i = 0; i < bytes; ++i) {
      const uint8_t h = Digit(digits[2 * i]);
      const uint8_t l = Digit(digits[2 * i + 1]);
      invalid |= h | l;
      const uint8_t value = static_cast<uint8_t>(h << 4 | (l & 0x0F));
      record[i] = value;
      sum = static_cast<uint8_t>(sum + value);
    }
    if (invalid & INVALID_DIGIT) {
      uint32_t bad = 0;
      while (!(Digit(digits[bad]) & INVALID_DIGIT)) ++bad;
      return fail(position + 3 + bad, "not a hexadecimal digit");
    }
    if (sum != 0) return fail(position + 1 + 2 * bytes, "the record's checksum does not match");

    const uint8_t* data = record + 3;
    switch (record[2]) {
      case DATA: {
        const uint32_t address = static_cast<uint32_t>(record[0]) << 8 | record[1];
        const uint32_t offset = (static_cast<uint32_t>(linearBase) << 16) +
                                (static_cast<uint32_t>(segmentBase) << 4) + address;
        const uint64_t end = static_cast<uint64_t>(offset) + count;
        if (end > textLength) {
          return fail(position + 3,
                      "the data ends beyond the length of the text: addresses are image offsets, "
                      "no base is subtracted");
        }
        // Nothing is stored at or past the capacity; the length still tells how far it went.
        if (offset < capacity) {
          const uint32_t room = capacity - offset;
          std::memcpy(image + offset, data, count < room ? count : room);
        }
        if (end > imageLength) imageLength = static_cast<uint32_t>(end);
        position += 2u * count + RECORD_OVERHEAD;
        break;
      }
      case END_OF_FILE:
        return true;
      case EXTENDED_SEGMENT_ADDRESS:
        segmentBase = static_cast<uint16_t>(data[0] << 8 | data[1]);
        position += BASE_RECORD_STEP;
        break;
      case EXTENDED_LINEAR_ADDRESS:
        linearBase = static_cast<uint16_t>(data[0] << 8 | data[1]);
        position += BASE_RECORD_STEP;
        break;
      case START_SEGMENT_ADDRESS:
      case START_LINEAR_ADDRESS:
        position += START_RECORD_STEP;
        break;
      default:
        return fail(position + 7, "unknown record type");
    }
  }
}

}  // namespace iapflash
