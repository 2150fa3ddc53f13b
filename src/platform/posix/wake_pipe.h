#pragma once

#include "platform/system_error.h"

namespace iapflash {

// A self-pipe that ends poll() waits from another thread: poll its ReadEnd() beside the
// descriptor waited on; Wake() leaves a byte in it, so that every poll on it ends at once, then
// and later. Both ends are non-blocking and closed on exec, and closed when it is destroyed.
class WakePipe {
 public:
  WakePipe() = default;
  ~WakePipe();
  WakePipe(WakePipe&& other) noexcept;
  WakePipe& operator=(WakePipe&&) = delete;
  WakePipe(const WakePipe&) = delete;
  WakePipe& operator=(const WakePipe&) = delete;

  // Makes the pipe; false with the system's code in error when it cannot.
  bool Open(SystemError& error);
  int ReadEnd() const { return read_; }
  // Any thread, never blocks; a full pipe is woken already.
  void Wake() const;

 private:
  int read_ = -1;
  int write_ = -1;
};

}  // namespace iapflash
