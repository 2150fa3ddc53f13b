#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/cancel_switch.h"

namespace iapflash::cli {

// While it lives, SIGINT, SIGTERM and SIGHUP (on Windows: Ctrl+C, Ctrl+Break, the console
// closing) cancel the run through target instead of ending the program at once, so the run
// ends through its own failure path and gives its port back; then onSignal (if any) is called,
// on a thread of the watch's own. One at a time.
class InterruptWatch {
 public:
  explicit InterruptWatch(CancelSwitch& target, std::function<void()> onSignal = {});
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
