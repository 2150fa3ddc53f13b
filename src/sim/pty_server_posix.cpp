#include "sim/pty_server_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace iapflash {
namespace {

SimTime Now() {
  return std::chrono::duration_cast<SimTime>(std::chrono::steady_clock::now().time_since_epoch());
}

constexpr timespec IDLE_CHECK{0, 50'000'000};

// Timer wake-ups come tens of microseconds late (on virtual machines often 50 to 70 us, whatever
// the timer slack). The host's read ends with a reply's last byte, so that byte is waited for
// awake over this last stretch and handed over on time; earlier bytes only need to be in before it.
constexpr SimTime ON_TIME_WINDOW = std::chrono::microseconds(150);

// Bytes that reach the host together are handed over together, as a USB adapter delivers a
// reply in one packet: a reply goes over in one write when its last byte is due. A longer run
// of bytes (replies back to back, a device that floods) goes over in pieces, none held longer
// than this after its first byte was due.
constexpr SimTime LONGEST_HOLD = std::chrono::milliseconds(2);

void CloseIfOpen(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// The wait until `at`, to the nanosecond: at 115200 baud a byte takes 87 us, so a wake rounded
// to whole milliseconds would stretch every reply.
timespec WaitUntil(SimTime at, SimTime now) {
  const int64_t ns = at > now ? (at - now).count() : 0;
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// When the reply bytes on their way go over to the host: as the last of them is due, or, for a
// long run of them, LONGEST_HOLD after the first was due. Empty when none is on its way.
std::optional<SimTime> HandOverAt(const SimDevice& device) {
  const auto first = device.FirstByteAt();
  const auto last = device.LastByteAt();
  if (!first || !last) return {};
  return std::min(*last, *first + LONGEST_HOLD);
}

bool WriteAll(int fd, const uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t put = write(fd, data, size);
    if (put > 0) {
      data += put;
      size -= static_cast<std::size_t>(put);
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, 1000) <= 0 || !(p.revents & POLLOUT)) return false;
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<PtyServer> PtyServer::Start(std::shared_ptr<SimDevice> device, SystemError& error) {
  int master = -1;
  int slave = -1;
  char name[256] = {};
  // Raw on both sides from the first moment: nothing is echoed or translated even before the
  // client sets its own mode.
  termios raw{};
  cfmakeraw(&raw);
  cfsetispeed(&raw, B115200);
  cfsetospeed(&raw, B115200);
  if (openpty(&master, &slave, name, &raw, nullptr) != 0) {
    error = LastSystemError();
    return nullptr;
  }
  termios masterMode{};
  if (tcgetattr(master, &masterMode) == 0) {
    cfmakeraw(&masterMode);
    tcsetattr(master, TCSANOW, &masterMode);
  }
  WakePipe stop;
  if (fcntl(master, F_SETFD, FD_CLOEXEC) != 0 || fcntl(slave, F_SETFD, FD_CLOEXEC) != 0 ||
      fcntl(master, F_SETFL, O_NONBLOCK) != 0) {
    error = LastSystemError();
    close(master);
    close(slave);
    return nullptr;
  }
  if (!stop.Open(error)) {
    close(master);
    close(slave);
    return nullptr;
  }
  std::unique_ptr<PtyServer> server(
      new PtyServer(std::move(device), master, slave, std::move(stop), name));
  server->bridge_ = std::thread(&PtyServer::Run, server.get());
  return server;
}

PtyServer::PtyServer(std::shared_ptr<SimDevice> device, int master, int slave, WakePipe stop,
                     std::string path)
    : device_(std::move(device)),
      master_(master),
      slave_(slave),
      stop_(std::move(stop)),
      path_(std::move(path)) {}

PtyServer::~PtyServer() {
  stop_.Wake();
  if (bridge_.joinable()) bridge_.join();
  CloseIfOpen(master_);
  CloseIfOpen(slave_);
}

void PtyServer::HangUp() {
  // Marked first, so that whoever sees the hang-up also sees HungUp().
  hungUp_.store(true);
  // Closing the master hangs up every open slave descriptor: the client's calls fail from here.
  CloseIfOpen(master_);
  CloseIfOpen(slave_);
}

void PtyServer::Run() {
#if defined(PR_SET_TIMERSLACK)
  // Byte times are 87 us at 115200 baud; the default 50 us of timer slack would show in them.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
  std::vector<uint8_t> buffer(4096);
  while (master_ >= 0) {
    const SimTime now = Now();
    const auto due = HandOverAt(*device_);
    if (due && now >= *due) {
      // Every reply byte that has reached the host by now, in one write.
      for (;;) {
        const std::size_t taken = device_->Take(buffer, now);
        if (taken == 0) break;
        if (!WriteAll(master_, buffer.data(), taken)) break;
      }
    }
    if (!device_->Connected()) {
      HangUp();
      break;
    }
    const auto next = HandOverAt(*device_);
    SimTime wakeAt = next.value_or(SimTime{0});
    if (next && *next == device_->LastByteAt()) {
      if (*next - Now() <= ON_TIME_WINDOW) {
        while (Now() < *next) {
          // awake until the reply's last byte is due
        }
        continue;
      }
      wakeAt -= ON_TIME_WINDOW;
    }
    pollfd fds[2] = {{master_, POLLIN, 0}, {stop_.ReadEnd(), POLLIN, 0}};
    // With nothing on its way, still look now and then whether the device was unplugged
    // (SimDevice::Disconnect from another thread).
    const timespec wait = next ? WaitUntil(wakeAt, Now()) : IDLE_CHECK;
    const int ready = ppoll(fds, 2, &wait, nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) break;  // asked to stop
    if (fds[0].revents & (POLLERR | POLLNVAL)) break;
    if (fds[0].revents & POLLIN) {
      const ssize_t got = read(master_, buffer.data(), buffer.size());
      if (got > 0) {
        device_->Receive(std::span<const uint8_t>(buffer.data(), static_cast<std::size_t>(got)),
                         Now());
      }
    }
  }
}

}  // namespace iapflash
