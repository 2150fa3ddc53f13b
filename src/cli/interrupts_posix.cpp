#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <thread>

#include "cli/interrupts.h"

namespace iapflash::cli {
namespace {

constexpr std::array<int, 3> WATCHED = {SIGINT, SIGTERM, SIGHUP};
constexpr unsigned char STOP_WATCHING = 0;

// The write end of the watcher's pipe; -1 while nobody watches.
std::atomic<int> signalPipe{-1};
static_assert(std::atomic<int>::is_always_lock_free, "read in a signal handler");

// Only what is safe in a signal handler: the number goes down the pipe to the watcher thread.
void OnSignal(int number) {
  const int saved = errno;
  const int fd = signalPipe.load();
  const auto byte = static_cast<unsigned char>(number);
  if (fd >= 0) (void)!write(fd, &byte, 1);
  errno = saved;
}

}  // namespace

struct InterruptWatch::State {
  int pipe[2] = {-1, -1};
  std::array<struct sigaction, WATCHED.size()> previous{};
  bool installed = false;
  std::thread watcher;
  std::atomic<int> signal{0};
};

InterruptWatch::InterruptWatch(CancelSwitch& target, std::function<void()> onSignal)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  if (pipe2(s.pipe, O_CLOEXEC) != 0) return;
  // The handler must never block, even with the pipe full of repeated signals.
  fcntl(s.pipe[1], F_SETFL, O_NONBLOCK);
  s.watcher = std::thread([&s, &target, onSignal = std::move(onSignal)] {
    for (;;) {
      unsigned char byte = STOP_WATCHING;
      const ssize_t got = read(s.pipe[0], &byte, 1);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0 || byte == STOP_WATCHING) return;
      int none = 0;
      s.signal.compare_exchange_strong(none, byte);
      target.Cancel();
      if (onSignal) onSignal();
    }
  });
  signalPipe.store(s.pipe[1]);
  struct sigaction action {};
  action.sa_handler = &OnSignal;
  sigemptyset(&action.sa_mask);
  // Restarted calls: stdout and stderr must not see a stray EINTR; the ports wake by the pipe.
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < WATCHED.size(); ++i) sigaction(WATCHED[i], &action, &s.previous[i]);
  s.installed = true;
}

InterruptWatch::~InterruptWatch() {
  State& s = *state_;
  if (s.installed) {
    for (std::size_t i = 0; i < WATCHED.size(); ++i) sigaction(WATCHED[i], &s.previous[i], nullptr);
  }
  signalPipe.store(-1);
  if (s.watcher.joinable()) {
    const unsigned char stop = STOP_WATCHING;
    while (write(s.pipe[1], &stop, 1) < 0 && errno == EINTR) {
    }
    s.watcher.join();
  }
  for (int fd : s.pipe) {
    if (fd >= 0) close(fd);
  }
}

int InterruptWatch::ExitStatus() const {
  const int number = state_->signal.load();
  return number == 0 ? 0 : 128 + number;
}

std::string InterruptWatch::Name() const {
  switch (state_->signal.load()) {
    case 0:
      return {};
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "a signal";
  }
}

}  // namespace iapflash::cli
