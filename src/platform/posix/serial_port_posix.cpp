#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/clock.h"
#include "platform/port_identity.h"
#include "platform/posix/wake_pipe.h"
#include "platform/serial_port.h"

#if defined(__linux__)
#include <linux/serial.h>
#endif

namespace iapflash {
namespace {

struct BaudCode {
  uint32_t rate;
  speed_t code;
};

constexpr BaudCode BAUD_CODES[] = {
    {50, B50},           {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},         {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},     {115200, B115200}, {230400, B230400},
#if defined(B460800)
    {460800, B460800},
#endif
#if defined(B921600)
    {921600, B921600},
#endif
#if defined(B1000000)
    {1000000, B1000000},
#endif
#if defined(B2000000)
    {2000000, B2000000},
#endif
};

bool BaudToCode(uint32_t rate, speed_t& code) {
  for (const auto& entry : BAUD_CODES) {
    if (entry.rate == rate) {
      code = entry.code;
      return true;
    }
  }
  return false;
}

uint32_t CodeToBaud(speed_t code) {
  for (const auto& entry : BAUD_CODES) {
    if (entry.code == code) return entry.rate;
  }
  return 0;
}

IoResult Failed(uint32_t count, int code) {
  return IoResult{false, count, static_cast<SystemError>(code)};
}

// A hang-up or an error condition on the descriptor: the device is gone.
int GoneCode(short revents) {
  return (revents & POLLNVAL) ? ENXIO : EIO;
}

// How the port stood before this backend took it, so that closing gives it back as it was:
// a user's terminal must not stay raw, nor a tty exclusive after its user has gone.
struct FoundState {
  termios settings{};
  bool exclusive = false;
};

constexpr int DRAIN_LIMIT_MS = 200;
constexpr int DRAIN_STEP_MS = 2;

class PosixSerialPort final : public SerialPort {
 public:
  // Takes fd and the wake-up pipe; gives the port back as found when destroyed.
  PosixSerialPort(int fd, WakePipe wake, const FoundState& found)
      : fd_(fd), wake_(std::move(wake)), found_(found) {}
  ~PosixSerialPort() override {
    // Bytes still queued would go out at the restored speed: let them leave first, or drop
    // them when the run was cut short.
    if (cancelled_.load()) {
      (void)tcflush(fd_, TCOFLUSH);
    } else {
      DrainBriefly();
    }
    (void)tcsetattr(fd_, TCSANOW, &found_.settings);
    // The exclusive flag lives on the tty, which may outlive this descriptor.
    if (!found_.exclusive) (void)ioctl(fd_, TIOCNXCL);
    close(fd_);
  }
  PosixSerialPort(const PosixSerialPort&) = delete;
  PosixSerialPort& operator=(const PosixSerialPort&) = delete;

  // The tty layer's buffers are fixed; there is nothing to size.
  bool SetQueueSizes(uint32_t, uint32_t) override { return true; }

  bool GetTimeouts(SerialTimeouts& timeouts) override {
    timeouts = timeouts_;
    return true;
  }
  bool SetTimeouts(const SerialTimeouts& timeouts) override {
    timeouts_ = timeouts;
    return true;
  }

  bool Purge() override { return tcflush(fd_, TCIOFLUSH) == 0; }

  bool GetLineSettings(LineSettings& settings) override {
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) return false;
    settings.baudRate = CodeToBaud(cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
      case CS5:
        settings.byteSize = 5;
        break;
      case CS6:
        settings.byteSize = 6;
        break;
      case CS7:
        settings.byteSize = 7;
        break;
      default:
        settings.byteSize = 8;
        break;
    }
    settings.parity = NO_PARITY;
    if (tio.c_cflag & PARENB) {
      const bool odd = (tio.c_cflag & PARODD) != 0;
      settings.parity = odd ? ODD_PARITY : EVEN_PARITY;
#if defined(CMSPAR)
      if (tio.c_cflag & CMSPAR) settings.parity = odd ? MARK_PARITY : SPACE_PARITY;
#endif
    }
    settings.stopBits = (tio.c_cflag & CSTOPB) ? TWO_STOP_BITS : ONE_STOP_BIT;
    return true;
  }

  bool SetLineSettings(const LineSettings& settings) override {
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) return false;
    speed_t speed{};
    if (!BaudToCode(settings.baudRate, speed)) return Refuse();
    tcflag_t size = 0;
    switch (settings.byteSize) {
      case 5:
        size = CS5;
        break;
      case 6:
        size = CS6;
        break;
      case 7:
        size = CS7;
        break;
      case 8:
        size = CS8;
        break;
      default:
        return Refuse();
    }
    tcflag_t parity = 0;
    switch (settings.parity) {
      case NO_PARITY:
        break;
      case ODD_PARITY:
        parity = PARENB | PARODD;
        break;
      case EVEN_PARITY:
        parity = PARENB;
        break;
#if defined(CMSPAR)
      case MARK_PARITY:
        parity = PARENB | PARODD | CMSPAR;
        break;
      case SPACE_PARITY:
        parity = PARENB | CMSPAR;
        break;
#endif
      default:
        return Refuse();
    }
    tcflag_t stop = 0;
    switch (settings.stopBits) {
      case ONE_STOP_BIT:
        break;
      case TWO_STOP_BITS:
        stop = CSTOPB;
        break;
      default:
        return Refuse();  // one and a half stop bits has no termios form
    }
    tcflag_t cleared = CSIZE | PARENB | PARODD | CSTOPB;
#if defined(CMSPAR)
    cleared |= CMSPAR;
#endif
    tio.c_cflag = (tio.c_cflag & ~cleared) | size | parity | stop;
    // Parity errors must not be translated into marker bytes in a binary stream.
    tio.c_iflag &= ~(INPCK | PARMRK);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    return tcsetattr(fd_, TCSANOW, &tio) == 0;
  }

  bool QueuedInput(uint32_t& count) override {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 0) > 0 && !(p.revents & POLLIN) &&
        (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
      errno = GoneCode(p.revents);
      return false;
    }
    int queued = 0;
    if (ioctl(fd_, FIONREAD, &queued) != 0) return false;
    count = static_cast<uint32_t>(queued < 0 ? 0 : queued);
    return true;
  }

  IoResult Read(uint8_t* buffer, uint32_t size) override {
    uint32_t count = 0;
    if (size == 0) return IoResult{true, 0, 0};
    const TransferBudget budget = TransferBudget::ForRead(timeouts_, size, MonotonicMs());
    std::optional<uint64_t> lastByteMs;
    while (count < size) {
      const int wait = budget.WaitMs(MonotonicMs(), lastByteMs);
      pollfd p[2] = {{fd_, POLLIN, 0}, {wake_.ReadEnd(), POLLIN, 0}};
      const int ready = poll(p, 2, wait);
      if (cancelled_.load()) return Failed(count, ECANCELED);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return Failed(count, errno);
      }
      if (ready == 0) break;  // the time limit: success with what arrived
      if (p[0].revents & POLLIN) {
        // With VMIN=0 a read of an empty tty returns 0, so read only what poll announced;
        // a readable descriptor that then yields nothing has been hung up.
        const ssize_t got = read(fd_, buffer + count, size - count);
        if (got > 0) {
          count += static_cast<uint32_t>(got);
          lastByteMs = MonotonicMs();
          continue;
        }
        if (got == 0) return Failed(count, EIO);
        if (errno == EINTR || errno == EAGAIN) continue;
        return Failed(count, errno);
      }
      return Failed(count, GoneCode(p[0].revents));
    }
    return IoResult{true, count, 0};
  }

  IoResult Write(const uint8_t* data, uint32_t size) override {
    uint32_t count = 0;
    const TransferBudget budget = TransferBudget::ForWrite(timeouts_, size, MonotonicMs());
    while (count < size) {
      if (cancelled_.load()) return Failed(count, ECANCELED);
      const ssize_t put = write(fd_, data + count, size - count);
      if (put > 0) {
        count += static_cast<uint32_t>(put);
        continue;
      }
      if (put < 0 && errno != EAGAIN && errno != EINTR) return Failed(count, errno);
      pollfd p[2] = {{fd_, POLLOUT, 0}, {wake_.ReadEnd(), POLLIN, 0}};
      const int ready = poll(p, 2, budget.WaitMs(MonotonicMs()));
      if (cancelled_.load()) return Failed(count, ECANCELED);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return Failed(count, errno);
      }
      if (ready == 0) break;  // the time limit: success with what went out
      if (!(p[0].revents & POLLOUT)) return Failed(count, GoneCode(p[0].revents));
    }
    return IoResult{true, count, 0};
  }

  // The wake-up pipe ends every poll on it, now and later.
  void Cancel() override {
    cancelled_.store(true);
    wake_.Wake();
  }

 private:
  static bool Refuse() {
    errno = EINVAL;
    return false;
  }

  // Waits, a short while at most, until the output queue has gone out.
  void DrainBriefly() {
    for (int waited = 0; waited < DRAIN_LIMIT_MS; waited += DRAIN_STEP_MS) {
      int queued = 0;
      if (ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
      (void)poll(nullptr, 0, DRAIN_STEP_MS);
    }
  }

  int fd_;
  WakePipe wake_;
  FoundState found_;
  std::atomic<bool> cancelled_{false};
  SerialTimeouts timeouts_{};
};

// Raw 8N1 at 115200: every byte passes unchanged, nothing is echoed, translated or taken as a
// signal, and no flow control holds data back.
bool MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  tio.c_iflag &=
      ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
  tio.c_oflag &= ~OPOST;
  tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
#if defined(CRTSCTS)
  tio.c_cflag &= ~CRTSCTS;
#endif
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

// Shorter latency for USB serial adapters that offer it; ptys and others refuse, which is fine.
void AskForLowLatency(int fd) {
#if defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
  serial_struct info{};
  if (ioctl(fd, TIOCGSERIAL, &info) == 0) {
    info.flags |= ASYNC_LOW_LATENCY;
    (void)ioctl(fd, TIOCSSERIAL, &info);
  }
#else
  (void)fd;
#endif
}

// Closes the descriptor unless released: every failed step of an open leaves nothing open.
class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) close(fd_);
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

class PosixSerialPorts final : public SerialPorts {
 public:
  std::unique_ptr<SerialPort> Open(const std::string& name, SystemError& error) override {
    const std::string path = LocalPortPath(name);
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      error = LastSystemError();
      return nullptr;
    }
    FdGuard guard(fd);
    FoundState found;
    if (tcgetattr(fd, &found.settings) != 0) {
      error = LastSystemError();  // not a terminal
      return nullptr;
    }
    // The lock keeps out a second user of this backend whoever runs it; taken first, so that
    // a refused open changes nothing of the port its holder uses.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      // Held by another opener: told as EBUSY, the code TIOCEXCL gives everyone but root.
      error = (errno == EWOULDBLOCK) ? EBUSY : LastSystemError();
      return nullptr;
    }
    // Read again under the lock: a holder that just let go has given the port back by now.
    if (tcgetattr(fd, &found.settings) != 0) {
      error = LastSystemError();
      return nullptr;
    }
#if defined(TIOCGEXCL)
    int exclusive = 0;
    found.exclusive = ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
#endif
    WakePipe wake;
    if (!wake.Open(error)) return nullptr;
    // From here on the port object owns everything and gives the port back as found.
    auto port = std::make_unique<PosixSerialPort>(guard.Release(), std::move(wake), found);
    // TIOCEXCL keeps other openers out, except root.
    if (ioctl(fd, TIOCEXCL) != 0 || !MakeRaw(fd)) {
      error = LastSystemError();
      return nullptr;
    }
    AskForLowLatency(fd);
    return port;
  }
};

}  // namespace

SerialPorts& LocalSerialPorts() {
  static PosixSerialPorts ports;
  return ports;
}

}  // namespace iapflash
