#pragma once

#include <memory>
#include <string>

#include "platform/cancel_switch.h"

namespace iapflash::cli {

// While it lives, SIGINT, SIGTERM and SIGHUP (on Windows: Ctrl+C, Ctrl+Break, the console
// closing) cancel the run through target instead of ending the program at once, so the run
// ends through its own failure path and gives its port back. One at a time.
class InterruptWatch {
 public:
  explicit InterruptWatch(CancelSwitch& target);
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  // 0 while nothing interrupted; else 128 + the signal's number (130, 143, 129).
  int ExitStatus() const;
  // The interruption's name for the message ("SIGINT"); empty while none.
  std::string Name() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace iapflash::cli
