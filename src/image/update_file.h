#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/file_reader.h"
#include "platform/operator_panel.h"

namespace iapflash {

inline constexpr uint32_t MAX_IMAGE_SIZE = 102400;
inline constexpr uint32_t UPDATE_HEADER_SIZE = 512;
inline constexpr uint32_t MIN_UPDATE_FILE_SIZE = 520;
// Longest path the loader accepts, in bytes; a longer one is refused, never cut, so that a
// shortened path can never name another file.
inline constexpr std::size_t MAX_UPDATE_PATH_LENGTH = 259;

// Reads the update file named by the panel's path control into image. length: in, the image's
// capacity; out, on success, the image length. checksum: the 32-bit byte sum of the image
// (0 unless the load succeeds). Logs every failure; returns true when the image is ready.
// Opens existing files only, for reading: a missing file is never created.
bool LoadUpdateFile(OperatorPanel& panel, uint8_t* image, uint32_t& length, uint32_t& checksum);

// LoadUpdateFile after its open: reads the open file, named path (for the messages and the
// HEX or BIN choice), with the same checks, messages and results.
bool LoadUpdateFrom(OperatorPanel& panel, const std::string& path, ReadOnlyFile& file,
                    uint8_t* image, uint32_t& length, uint32_t& checksum);

// True when the path, upper-cased, contains ".HEX": its payload is Intel HEX text.
bool IsHexPath(std::string_view path);

// True when the header starts with "IAP_UPDATA_FILE" and its terminating zero.
bool IsUpdateHeader(const uint8_t* header);

// The unsigned 32-bit sum of image bytes 0 to length - 1.
uint32_t ImageChecksum(const uint8_t* image, uint32_t length);

}  // namespace iapflash
