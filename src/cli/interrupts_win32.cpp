#include <windows.h>

#include <atomic>

#include "cli/interrupts.h"

namespace iapflash::cli {
namespace {

// The POSIX numbers, so that the exit statuses read the same on both systems.
constexpr int INTERRUPT = 2;  // Ctrl+C, Ctrl+Break
constexpr int HANG_UP = 1;    // the console closes, the user logs off, the system shuts down

}  // namespace

struct InterruptWatch::State {
  CancelSwitch* target = nullptr;
  std::function<void()> onSignal;
  std::atomic<int> signal{0};
};

namespace {

std::atomic<InterruptWatch::State*> watching{nullptr};

// Runs on a thread of its own, so it may cancel the run directly.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  InterruptWatch::State* state = watching.load();
  if (!state) return FALSE;
  const int number = (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) ? INTERRUPT : HANG_UP;
  int none = 0;
  state->signal.compare_exchange_strong(none, number);
  state->target->Cancel();
  if (state->onSignal) state->onSignal();
  return TRUE;
}

}  // namespace

InterruptWatch::InterruptWatch(CancelSwitch& target, std::function<void()> onSignal)
    : state_(std::make_unique<State>()) {
  state_->target = &target;
  state_->onSignal = std::move(onSignal);
  watching.store(state_.get());
  SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}

InterruptWatch::~InterruptWatch() {
  SetConsoleCtrlHandler(&OnConsoleEvent, FALSE);
  watching.store(nullptr);
}

int InterruptWatch::ExitStatus() const {
  const int number = state_->signal.load();
  return number == 0 ? 0 : 128 + number;
}

std::string InterruptWatch::Name() const {
  switch (state_->signal.load()) {
    case 0:
      return {};
    case INTERRUPT:
      return "Ctrl+C";
    default:
      return "the console closing";
  }
}

}  // namespace iapflash::cli
