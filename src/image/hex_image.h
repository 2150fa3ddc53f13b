#pragma once

#include <cstdint>

namespace iapflash {

// Turns Intel HEX text into a flat image, 0xFF where no record stores data. Strict and
// positional: every record is followed by exactly two line-end characters. Returns true once an
// end-of-file record is reached; imageLength is the highest end of all data records, and may
// exceed capacity (nothing is stored at or past it).
bool ConvertHexImage(const char* text, uint32_t textLength, uint8_t* image, uint32_t capacity,
                     uint32_t& imageLength);

// The byte spelt by two hexadecimal digits, high digit first; false if either is not one.
bool DecodeHexByte(char high, char low, uint8_t& value);

}  // namespace iapflash
