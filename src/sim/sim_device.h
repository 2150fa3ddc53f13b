#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/sim_fault.h"

namespace iapflash {

// Time as the transports tell it to the device: any monotonic origin, the same for every call.
// A transport on the Clock seam passes std::chrono::milliseconds(clock.NowMs()).
using SimTime = std::chrono::nanoseconds;

inline constexpr uint32_t SIM_MEMORY_SIZE = 102400;
inline constexpr std::size_t SIM_REPLY_SIZE = 6;

// Status bytes the simulated boot program answers with besides 0 (accepted).
inline constexpr uint8_t SIM_STATUS_OK = 0x00;
inline constexpr uint8_t SIM_STATUS_BAD_CHECKSUM = 0xE1;
inline constexpr uint8_t SIM_STATUS_BAD_COMMAND = 0xE2;
inline constexpr uint8_t SIM_STATUS_OUT_OF_RANGE = 0xE3;
inline constexpr uint8_t SIM_STATUS_VERIFY_MISMATCH = 0xE4;
inline constexpr uint8_t SIM_STATUS_END_MISMATCH = 0xE5;

// Wire-time emulation; all zero (the default) means replies are there the moment the command is.
struct SimWireTiming {
  uint32_t baudRate = 0;      // 10 bits per byte on the line, both ways; 0: no line time
  uint32_t latencyUs = 0;     // per transfer: from a whole command received to its reply
  uint32_t flashWriteUs = 0;  // extra time for each program packet
};

// What the device made of one command frame.
struct SimCommandRecord {
  uint8_t code = 0;
  uint32_t offset = 0;      // program/verify: the packet's offset
  uint32_t dataLength = 0;  // program/verify: bytes carried; start/end: the image length
  uint32_t checksum = 0;    // start/end: the image checksum
  uint8_t status = 0;       // the status it decided on (before any fault)
  bool frameChecksumOk = true;
  std::vector<uint8_t> frame;  // the whole frame as received, header and checksum included
};

// The device's IAP boot program: parses frames 0x57 0xAB payload checksum, keeps a flash memory
// of SIM_MEMORY_SIZE bytes (erased to 0xFF), and answers each command except reset with the
// six bytes 0x57 0xAB code|0x80 0x00 status sum. Transport-independent and thread-safe: a
// transport feeds the host's bytes in and takes the reply bytes out, telling it the time.
class SimDevice {
 public:
  SimDevice();
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  void AddFault(const SimFault& fault);
  void SetWireTiming(const SimWireTiming& timing);

  // Host to device: bytes written by the host, arriving at `now`. Returns how many the device
  // took (fewer once it is disconnected).
  std::size_t Receive(std::span<const uint8_t> bytes, SimTime now);
  // Device to host: reply bytes that have reached the host by `now`.
  std::size_t Available(SimTime now) const;
  // Takes up to out.size() of the bytes available at `now`; returns how many.
  std::size_t Take(std::span<uint8_t> out, SimTime now);
  // When the next reply byte not yet available reaches the host; empty when none is on its way.
  std::optional<SimTime> NextByteAt(SimTime now) const;
  // When the first reply byte still queued (reached the host or not) reaches the host; empty
  // when none is queued.
  std::optional<SimTime> FirstByteAt() const;
  // When the last reply byte on its way reaches the host; empty when none is queued.
  std::optional<SimTime> LastByteAt() const;
  // Drops the reply bytes that have reached the host by `now` (a purge on the host side);
  // bytes still on the line arrive later.
  void DiscardAvailable(SimTime now);

  // False once a disconnect fault fired or Disconnect() was called; it never comes back.
  bool Connected() const;
  void Disconnect();

  // For assertions.
  std::vector<uint8_t> Memory() const;
  std::vector<SimCommandRecord> Commands() const;
  uint64_t BytesReceived() const;
  // The image length and checksum of the last start command; empty before one.
  std::optional<SimCommandRecord> LastStart() const;
  bool ResetReceived() const;

 private:
  void ProcessFrameLocked(SimTime frameEnd);
  void QueueReplyLocked(const std::vector<uint8_t>& reply, SimTime ready);
  std::optional<SimFault> TakeFaultLocked(uint8_t code, std::optional<uint32_t> offset);
  SimTime ByteTime() const;

  struct PendingByte {
    uint8_t value;
    SimTime at;
  };

  mutable std::mutex mutex_;
  std::vector<uint8_t> memory_;
  std::vector<SimFault> faults_;
  SimWireTiming timing_{};
  std::vector<uint8_t> frame_;        // the frame being received
  std::vector<PendingByte> replies_;  // in order of arrival time
  std::vector<SimCommandRecord> commands_;
  SimTime rxLineFree_{0};
  SimTime txLineFree_{0};
  uint64_t bytesReceived_ = 0;
  std::optional<uint64_t> disconnectAfter_;
  bool connected_ = true;
  bool resetReceived_ = false;
};

}  // namespace iapflash
