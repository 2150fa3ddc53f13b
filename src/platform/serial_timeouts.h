#pragma once

#include <cstdint>
#include <optional>

namespace iapflash {

// Total time limits of one call, in the Windows model: a read of n bytes gives up after
// readMultiplier * n + readConstant ms with what has arrived; a write likewise. Both totals zero
// means no limit. A read also ends when readInterval ms pass between two bytes (0: no such rule);
// NO_INTERVAL_WAIT with both read totals zero returns at once with what is queued.
struct SerialTimeouts {
  uint32_t readInterval = 0;
  uint32_t readMultiplier = 0;
  uint32_t readConstant = 0;
  uint32_t writeMultiplier = 0;
  uint32_t writeConstant = 0;
};

inline constexpr uint32_t NO_INTERVAL_WAIT = 0xFFFFFFFF;

// Line setting codes, as the Windows port state has them.
inline constexpr uint8_t NO_PARITY = 0;
inline constexpr uint8_t ODD_PARITY = 1;
inline constexpr uint8_t EVEN_PARITY = 2;
inline constexpr uint8_t MARK_PARITY = 3;
inline constexpr uint8_t SPACE_PARITY = 4;
inline constexpr uint8_t ONE_STOP_BIT = 0;
inline constexpr uint8_t ONE_AND_HALF_STOP_BITS = 1;
inline constexpr uint8_t TWO_STOP_BITS = 2;

// The time one read or write may take, from the moment it starts, by the rules above; for the
// backends that keep those rules themselves. Times are a monotonic clock's milliseconds.
class TransferBudget {
 public:
  // A wait with no end (for poll() and the like).
  static constexpr int UNLIMITED = -1;

  static TransferBudget ForRead(const SerialTimeouts& timeouts, uint32_t size, uint64_t startMs);
  static TransferBudget ForWrite(const SerialTimeouts& timeouts, uint32_t size, uint64_t startMs);

  // How long the next wait for the port may last at nowMs: UNLIMITED, or 0 once the budget is
  // spent. lastByteMs: when the read last took bytes, once it has some, from which the interval
  // rule counts.
  int WaitMs(uint64_t nowMs, std::optional<uint64_t> lastByteMs = std::nullopt) const;

  // Return at once with what is there: no wait at all.
  bool Immediate() const { return immediate_; }

 private:
  TransferBudget(uint32_t multiplier, uint32_t constant, uint32_t size, uint64_t startMs,
                 uint32_t interval);

  bool immediate_ = false;
  bool unlimited_ = false;
  uint64_t endMs_ = 0;
  uint32_t intervalMs_ = 0;  // 0: no interval rule
};

}  // namespace iapflash
