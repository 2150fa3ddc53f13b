#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace iapflash {

// Calls expire once, on a thread of its own, when limitMs of real time have passed, unless the
// deadline is destroyed first. What expire does must be safe from another thread (a
// CancelSwitch's Cancel is). Destroying it waits for a running expire to return.
class Deadline {
 public:
  Deadline(uint64_t limitMs, std::function<void()> expire);
  ~Deadline();
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  bool Expired() const { return expired_.load(); }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::atomic<bool> expired_{false};
  std::thread waiter_;
};

}  // namespace iapflash
