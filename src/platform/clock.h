#pragma once

#include <cstdint>

namespace iapflash {

// Every wait of the core goes through a Clock, so tests can run seconds of waiting in virtual time.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual void SleepMs(uint32_t ms) = 0;
  // Monotonic milliseconds from an arbitrary origin.
  virtual uint64_t NowMs() = 0;
};

// The real, monotonic clock.
Clock& SystemClock();
// Its time: monotonic milliseconds from an arbitrary origin, for the backends that wait on the
// system's own calls (poll and the like) rather than through a Clock.
uint64_t MonotonicMs();

}  // namespace iapflash
