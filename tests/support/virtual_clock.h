#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/clock.h"

namespace iapflash::testing {

// Time that moves only when someone sleeps: a sleep of n ms returns at once, n ms later.
class VirtualClock final : public Clock {
 public:
  void SleepMs(uint32_t ms) override {
    now_ += ms;
    std::lock_guard lock(mutex_);
    sleeps_.push_back(ms);
  }
  uint64_t NowMs() override { return now_; }
  void Advance(uint64_t ms) { now_ += ms; }
  std::vector<uint32_t> Sleeps() const {
    std::lock_guard lock(mutex_);
    return sleeps_;
  }

 private:
  std::atomic<uint64_t> now_{1000000};
  mutable std::mutex mutex_;
  std::vector<uint32_t> sleeps_;
};

}  // namespace iapflash::testing
