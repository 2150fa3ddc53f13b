#include "platform/serial_timeouts.h"

#include <algorithm>
#include <limits>

namespace iapflash {
namespace {

int MsUntil(uint64_t endMs, uint64_t nowMs) {
  if (nowMs >= endMs) return 0;
  return static_cast<int>(
      std::min<uint64_t>(endMs - nowMs, static_cast<uint64_t>(std::numeric_limits<int>::max())));
}

}  // namespace

// The sum is taken in 64 bits so that large requests cannot wrap it.
TransferBudget::TransferBudget(uint32_t multiplier, uint32_t constant, uint32_t size,
                               uint64_t startMs, uint32_t interval)
    : unlimited_(multiplier == 0 && constant == 0),
      endMs_(startMs + static_cast<uint64_t>(multiplier) * size + constant),
      intervalMs_(interval) {}

TransferBudget TransferBudget::ForRead(const SerialTimeouts& timeouts, uint32_t size,
                                       uint64_t startMs) {
  TransferBudget budget(timeouts.readMultiplier, timeouts.readConstant, size, startMs,
                        timeouts.readInterval);
  budget.immediate_ = timeouts.readInterval == NO_INTERVAL_WAIT && budget.unlimited_;
  if (budget.immediate_) budget.intervalMs_ = 0;
  return budget;
}

TransferBudget TransferBudget::ForWrite(const SerialTimeouts& timeouts, uint32_t size,
                                        uint64_t startMs) {
  return TransferBudget(timeouts.writeMultiplier, timeouts.writeConstant, size, startMs, 0);
}

int TransferBudget::WaitMs(uint64_t nowMs, std::optional<uint64_t> lastByteMs) const {
  if (immediate_) return 0;
  int wait = unlimited_ ? UNLIMITED : MsUntil(endMs_, nowMs);
  if (intervalMs_ != 0 && lastByteMs) {
    const int gap = MsUntil(*lastByteMs + intervalMs_, nowMs);
    wait = wait == UNLIMITED ? gap : std::min(wait, gap);
  }
  return wait;
}

}  // namespace iapflash
