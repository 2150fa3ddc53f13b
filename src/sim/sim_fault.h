#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace iapflash {

// The boot program's command codes, as the simulated device knows them.
inline constexpr uint8_t SIM_CODE_START = 2;
inline constexpr uint8_t SIM_CODE_PROG = 3;
inline constexpr uint8_t SIM_CODE_VERIFY = 4;
inline constexpr uint8_t SIM_CODE_END = 5;
inline constexpr uint8_t SIM_CODE_RESET = 6;  // never answered

enum class SimFaultKind {
  Status,      // answer the command with `status` instead of its own result
  Silent,      // answer nothing
  ShortReply,  // answer only the first five bytes
  WrongEcho,   // answer with another command's code in byte 2
  Garbage,     // answer six bytes that are no reply at all
  Disconnect,  // vanish once `afterBytes` bytes have been received
  SlowStart,   // answer the start command `delayMs` later than usual
};

// One injected fault. It fires once, at the first command that matches.
struct SimFault {
  SimFaultKind kind = SimFaultKind::Status;
  uint8_t code = 0;                // command code it applies to; 0: any command
  std::optional<uint32_t> offset;  // program/verify offset it applies to; empty: any
  uint8_t status = 0;              // Status
  uint64_t afterBytes = 0;         // Disconnect
  uint32_t delayMs = 0;            // SlowStart
};

// Reads a fault from its short text form:
//   status:CMD[:OFFSET]:STATUS   e.g. "status:prog:0x400:0x0A", "status:start:3"
//   silent:CMD[:OFFSET]  short:CMD[:OFFSET]  echo:CMD[:OFFSET]  garbage:CMD[:OFFSET]
//   disconnect:BYTES             e.g. "disconnect:5000"
//   slow-start:MS                e.g. "slow-start:3000"
// CMD is start, prog, verify or end (a reset is never answered, so no reply fault fits it);
// numbers are decimal or 0x hexadecimal.
// Empty on text it does not understand.
std::optional<SimFault> ParseSimFault(std::string_view text);

}  // namespace iapflash
