#pragma once

#include <cstdint>

namespace iapflash {

// Intel HEX record types.
enum RecordType : uint8_t {
  DATA = 0,
  END_OF_FILE = 1,
  EXTENDED_SEGMENT_ADDRESS = 2,
  START_SEGMENT_ADDRESS = 3,
  EXTENDED_LINEAR_ADDRESS = 4,
  START_LINEAR_ADDRESS = 5,
};

// Turns Intel HEX text into a flat image. Strict and positional: the text starts with a record,
// every record is followed by exactly two line-end characters, and records of types 2 and 4
// (3 and 5) are stepped over as if they held two (four) data bytes. Fills the first
// min(textLength, capacity) bytes with 0xFF, then stores the data records at their offsets
// (bases applied, no base subtracted); a record ending beyond textLength fails.
// Returns true once an end-of-file record is reached, false on any fault (nothing is logged).
// imageLength is the highest end of all data records and may exceed capacity: nothing is stored
// at or past it. One pass, no allocation.
// stop, when given, is set on a fault: where in the text the walk stopped and why.
struct HexStop {
  uint32_t position = 0;  // index into the text; may equal textLength
  const char* reason = "";
};
bool ConvertHexImage(const char* text, uint32_t textLength, uint8_t* image, uint32_t capacity,
                     uint32_t& imageLength, HexStop* stop = nullptr);

// The byte spelt by two hexadecimal digits (either case), high digit first; false, with value
// unchanged, if either is not one.
bool DecodeHexByte(char high, char low, uint8_t& value);

}  // namespace iapflash
