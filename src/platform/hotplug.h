#pragma once

#include <cstdint>
#include <memory>

#include "platform/clock.h"

namespace iapflash {

// Tells when the machine's devices may have changed: a device arrived or left.
class HotplugWatch {
 public:
  virtual ~HotplugWatch() = default;
  // Waits up to ms for a device to arrive or leave; true when one did. Returns early, false,
  // when a signal interrupts the wait.
  virtual bool Wait(uint32_t ms) = 0;
};

// The machine's own: a udev monitor of tty and USB devices (Linux), device-interface arrival and
// removal notifications through a message-only window (Windows). Null when the system gives
// none; the caller then looks at the devices on its own interval.
std::unique_ptr<HotplugWatch> SystemHotplugWatch();

// No notifications: each wait takes its whole time on the clock (the simulated bus; ports that
// are watched by opening them).
class ClockHotplugWatch final : public HotplugWatch {
 public:
  explicit ClockHotplugWatch(Clock& clock) : clock_(clock) {}
  bool Wait(uint32_t ms) override {
    clock_.SleepMs(ms);
    return false;
  }

 private:
  Clock& clock_;
};

}  // namespace iapflash
