#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "log/log.h"
#include "platform/file_reader.h"

namespace iapflash {

inline constexpr uint32_t MAX_IMAGE_SIZE = 102400;
inline constexpr uint32_t UPDATE_HEADER_SIZE = 512;
inline constexpr uint32_t MIN_UPDATE_FILE_SIZE = 520;
// Longest HEX payload text: far beyond the text of the largest image, and it bounds the memory
// a load takes. A longer one is refused from the file's size, before it is read.
inline constexpr uint32_t MAX_HEX_TEXT_SIZE = 16u * 1024u * 1024u;

// The image an update file holds, at most MAX_IMAGE_SIZE bytes, and its checksum.
struct UpdateImage {
  std::vector<uint8_t> bytes;
  uint32_t checksum = 0;  // the 32-bit byte sum of bytes
};

// Reads the update file at path (UTF-8). Logs every failure to log and returns nothing then.
// Opens existing files only, for reading: a missing file is never created.
std::optional<UpdateImage> LoadUpdateFile(LogSink& log, const std::string& path);

// LoadUpdateFile after its open: reads the open file, named path (for the messages and the
// HEX or BIN choice), with the same checks, messages and results.
std::optional<UpdateImage> LoadUpdateFrom(LogSink& log, const std::string& path,
                                          ReadOnlyFile& file);

// True when the path, upper-cased, contains ".HEX": its payload is Intel HEX text.
bool IsHexPath(std::string_view path);

// True when the header starts with "IAP_UPDATA_FILE" and its terminating zero.
bool IsUpdateHeader(const uint8_t* header);

// The unsigned 32-bit sum of image bytes 0 to length - 1.
uint32_t ImageChecksum(const uint8_t* image, uint32_t length);

}  // namespace iapflash
