#pragma once

#include <cstdint>
#include <string>

namespace iapflash {

// Intel HEX text of a flat image in the strict form the loader reads: data records of
// bytesPerRecord bytes (1 to 255) from image offset 0, an extended linear address record
// wherever the upper 16 bits of the offset change, CR LF after every record, upper-case digits
// and an end-of-file record. Every byte is written, 0xFF included, so the text always covers the
// offsets it names.
std::string StrictHexText(const uint8_t* image, uint32_t length, uint32_t bytesPerRecord = 16);

}  // namespace iapflash
