#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "platform/posix/wake_pipe.h"

namespace iapflash {

WakePipe::~WakePipe() {
  if (read_ >= 0) close(read_);
  if (write_ >= 0) close(write_);
}

WakePipe::WakePipe(WakePipe&& other) noexcept
    : read_(std::exchange(other.read_, -1)), write_(std::exchange(other.write_, -1)) {}

bool WakePipe::Open(SystemError& error) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = LastSystemError();
    return false;
  }
  read_ = ends[0];
  write_ = ends[1];
  return true;
}

void WakePipe::Wake() const {
  const char wake = 1;
  (void)!write(write_, &wake, 1);
}

}  // namespace iapflash
