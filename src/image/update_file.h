#pragma once

#include <cstdint>

#include "platform/operator_panel.h"

namespace iapflash {

inline constexpr uint32_t MAX_IMAGE_SIZE = 102400;
inline constexpr uint32_t UPDATE_HEADER_SIZE = 512;
inline constexpr uint32_t MIN_UPDATE_FILE_SIZE = 520;

// Reads the update file named by the panel's path control into image. length: in, the image's
// capacity; out, on success, the image length. checksum: the 32-bit byte sum of the image
// (0 unless the load succeeds). Logs every failure; returns true when the image is ready.
bool LoadUpdateFile(OperatorPanel& panel, uint8_t* image, uint32_t& length, uint32_t& checksum);

}  // namespace iapflash
