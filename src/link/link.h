#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "console/station.h"
#include "platform/serial_port.h"

namespace iapflash {

// The open download link: it owns the serial port, and closing the link closes the port.
using LinkHandle = std::unique_ptr<SerialPort>;
// A link that is not open.
inline constexpr std::nullptr_t LINK_INVALID = nullptr;

inline constexpr uint8_t FRAME_HEAD_0 = 0x57;
inline constexpr uint8_t FRAME_HEAD_1 = 0xAB;
inline constexpr uint32_t STATUS_REPLY_SIZE = 6;

// Download settings of the port.
inline constexpr uint32_t LINK_QUEUE_SIZE = 8192;
inline constexpr uint32_t LINK_READ_MULTIPLIER_MS = 1000;
inline constexpr uint32_t LINK_READ_CONSTANT_MS = 2000;
inline constexpr uint32_t LINK_WRITE_MULTIPLIER_MS = 50;
inline constexpr uint32_t LINK_WRITE_CONSTANT_MS = 500;
inline constexpr uint32_t LINK_BAUD_RATE = 115200;
inline constexpr uint32_t LINK_WAIT_STEP_MS = 500;

// Opens the port of the device selected in the device list at the download settings, switching
// a device that still runs its application into IAP mode first. LINK_INVALID on failure.
LinkHandle LinkOpen(Station& station);

// Closes the link (LINK_INVALID included: then it only says so); the link is LINK_INVALID after.
void LinkClose(Station& station, LinkHandle& link);

// Sends payload in one frame 0x57 0xAB payload checksum. length: in, the payload length; out,
// the frame bytes written (0 after a failed write call). True when the whole frame went out.
bool LinkWrite(Station& station, const LinkHandle& link, const uint8_t* payload, uint32_t& length);

// Reads the 6-byte status reply to the command `code`. length: out, the reply bytes received.
// True when a valid reply arrived; status then holds its status byte (unchanged otherwise).
bool LinkReadStatus(Station& station, const LinkHandle& link, uint8_t code, uint8_t& status,
                    uint32_t& length);

// As LinkReadStatus, after waiting up to budgetMs for the whole reply to be queued; one progress
// dot per 500 ms of waiting. A reply that does not come fails without a message, length 6.
bool LinkReadStatusWait(Station& station, const LinkHandle& link, uint8_t code, uint8_t& status,
                        uint32_t& length, uint32_t budgetMs);

}  // namespace iapflash
