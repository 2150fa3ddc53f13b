#pragma once

#include <cstdint>
#include <span>

#include "link/link.h"

namespace iapflash {

// Command codes of the IAP boot program: the first byte of every packet.
enum class IapCode : uint8_t { Start = 2, Program = 3, Verify = 4, End = 5, Reset = 6 };

// Image bytes carried by one program or verify packet, at most.
inline constexpr uint32_t IAP_CHUNK_MAX = 32;
// The largest packet: code, count, offset and a full chunk.
inline constexpr uint32_t IAP_PACKET_MAX = 6 + IAP_CHUNK_MAX;
// How long the device may take to answer the start command (it erases its flash first).
inline constexpr uint32_t IAP_START_BUDGET_MS = 10000;

// Each logs every failure in its own words before it returns.

// Announces the image length and checksum; waits up to 10 s for the reply, with progress dots.
CommandResult IapStart(Link& link, uint32_t imageLength, uint32_t imageChecksum);
// Sends the image in chunks of up to 32 bytes with code Program (to be written) or Verify (to be
// compared with the flash). One progress dot whenever the offset reaches a multiple of 1024;
// a PassProgress event when the pass begins and after every chunk.
CommandResult IapTransferImage(Link& link, IapCode code, std::span<const uint8_t> image);
CommandResult IapEnd(Link& link, uint32_t imageLength, uint32_t imageChecksum);
// Sends the reset command; no reply is read and a failure is not logged (the device may already
// be restarting). True when the link took the whole packet.
bool IapReset(Link& link);

}  // namespace iapflash
