#pragma once

#include <cstdint>

#include "console/station.h"
#include "link/link.h"

namespace iapflash {

// Command codes of the IAP boot program: the first byte of every packet.
inline constexpr uint8_t ZVQMcuIAP_START = 2;
inline constexpr uint8_t ZVQMcuIAP_PROG = 3;
inline constexpr uint8_t ZVQMcuIAP_VERIFY = 4;
inline constexpr uint8_t ZVQMcuIAP_END = 5;
inline constexpr uint8_t ZVQMcuIAP_RESET = 6;

// Image bytes carried by one program or verify packet, at most.
inline constexpr uint32_t IAP_CHUNK_MAX = 32;
// The largest packet: code, count, offset and a full chunk.
inline constexpr uint32_t IAP_PACKET_MAX = 6 + IAP_CHUNK_MAX;
// How long the device may take to answer the start command (it erases its flash first).
inline constexpr uint32_t IAP_START_BUDGET_MS = 10000;

// Each returns true on success and logs every failure before it returns.

// Announces the image length and checksum; waits up to 10 s for the reply, with progress dots.
bool IapStart(Station& station, const LinkHandle& link, uint32_t imageLength,
              uint32_t imageChecksum);
// Programs image[0, imageLength) in chunks of up to 32 bytes.
bool IapProgram(Station& station, const LinkHandle& link, const uint8_t* image,
                uint32_t imageLength);
// Sends the same chunks for the device to compare with its flash.
bool IapVerify(Station& station, const LinkHandle& link, const uint8_t* image,
               uint32_t imageLength);
// The chunk loop of the two above: `length` bytes of image from startOffset on; one progress
// dot whenever the offset reaches a multiple of 1024.
bool IapTransferImage(Station& station, const LinkHandle& link, uint8_t code, uint32_t startOffset,
                      const uint8_t* image, uint32_t length);
bool IapEnd(Station& station, const LinkHandle& link, uint32_t imageLength, uint32_t imageChecksum);
// Sends the reset command; no reply is read. True when the link took the whole packet.
bool IapReset(Station& station, const LinkHandle& link);

}  // namespace iapflash
