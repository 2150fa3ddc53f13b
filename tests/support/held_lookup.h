#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/remote/connection.h"

namespace iapflash {

// A name lookup held until the test lets go: a name server that does not answer. Shared with the
// lookup's thread, which the connection leaves behind.
class HeldLookup {
 public:
  // On the lookup's thread, before it looks up. Bounded, so that a connect that waits for it
  // fails the test instead of hanging it.
  void Hold() {
    std::unique_lock lock(mutex_);
    started_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return released_; });
    ended_ = true;
  }
  void WaitUntilStarted() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return started_; });
  }
  // Lets the lookup go on; true when it was still held.
  bool Release() {
    bool held = false;
    {
      const std::lock_guard lock(mutex_);
      held = !ended_;
      released_ = true;
    }
    changed_.notify_all();
    return held;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool started_ = false;
  bool released_ = false;
  bool ended_ = false;
};

// Connects to fixture-3, whose lookup calls held.Hold(), and cancels once the lookup has
// started: the connect ends at once with the cancel's error, the lookup still held.
inline void ExpectACancelToEndTheLookupsWait(Connection& connection, HeldLookup& held) {
  bool connected = true;
  SystemError error = 0;
  std::thread connecting([&] { connected = connection.Connect("fixture-3", 9, 3000, error); });
  held.WaitUntilStarted();
  connection.Cancel();
  connecting.join();
  const bool stillHeld = held.Release();
  EXPECT_FALSE(connected);
  EXPECT_EQ(error, CancelledError());
  EXPECT_TRUE(stillHeld) << "the connect waited for the lookup to end";
}

}  // namespace iapflash
