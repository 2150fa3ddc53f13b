#include <chrono>
#include <thread>

#include "platform/clock.h"

namespace iapflash {
namespace {

class SteadyClock final : public Clock {
 public:
  void SleepMs(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  uint64_t NowMs() override { return MonotonicMs(); }
};

}  // namespace

uint64_t MonotonicMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

Clock& SystemClock() {
  static SteadyClock clock;
  return clock;
}

}  // namespace iapflash
