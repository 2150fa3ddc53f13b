#include "app/deadline.h"

#include <chrono>

namespace iapflash {

Deadline::Deadline(uint64_t limitMs, std::function<void()> expire) {
  waiter_ = std::thread([this, limitMs, expire = std::move(expire)] {
    std::unique_lock lock(mutex_);
    const auto at = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    if (wake_.wait_until(lock, at, [this] { return stopping_; })) return;
    expired_.store(true);
    lock.unlock();
    expire();
  });
}

Deadline::~Deadline() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  waiter_.join();
}

}  // namespace iapflash
