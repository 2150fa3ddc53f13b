#include "platform/remote/connection_posix.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/clock.h"
#include "platform/posix/wake_pipe.h"
#include "platform/system_error.h"

namespace iapflash {
namespace {

// The system's code for a failed name lookup; the lookup's own text goes to the diagnostic
// channel, as it is no errno.
SystemError LookupError(int code) {
  switch (code) {
    case EAI_SYSTEM:
      return static_cast<SystemError>(errno);
    case EAI_AGAIN:
      return EAGAIN;
    case EAI_MEMORY:
      return ENOMEM;
    default:
      return ENXIO;  // no such host: "No such device or address"
  }
}

// A lookup on its own thread, shared with it: whichever lets go last frees what it found.
struct PendingLookup {
  ~PendingLookup() {
    if (found) freeaddrinfo(found);
  }
  std::mutex mutex;
  WakePipe done;  // woken once the lookup has ended
  bool ended = false;
  int code = 0;
  int savedErrno = 0;
  addrinfo* found = nullptr;
};

class PosixConnection final : public Connection {
 public:
  PosixConnection(WakePipe wake, AddressLookup lookup)
      : wake_(std::move(wake)), lookup_(std::move(lookup)) {}
  ~PosixConnection() override {
    if (fd_ >= 0) close(fd_);
  }
  PosixConnection(const PosixConnection&) = delete;
  PosixConnection& operator=(const PosixConnection&) = delete;

  bool Connect(const std::string& host, uint16_t port, uint32_t timeoutMs,
               SystemError& error) override {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (!LookUp(host, std::to_string(port), hints, found, error)) return false;
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, &freeaddrinfo);
    const uint64_t endMs = MonotonicMs() + timeoutMs;
    error = ETIMEDOUT;
    for (const addrinfo* address = list.get(); address; address = address->ai_next) {
      fd_ = ConnectOne(*address, endMs, error);
      if (fd_ >= 0) return true;
      if (error == CancelledError() || MonotonicMs() >= endMs) break;
    }
    return false;
  }

  bool Send(const uint8_t* data, std::size_t size, std::size_t& sent, SystemError& error) override {
    sent = 0;
    while (sent < size) {
      // No SIGPIPE for a peer that has gone: the call fails instead.
      const ssize_t put = send(fd_, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (put > 0) {
        sent += static_cast<std::size_t>(put);
        continue;
      }
      if (put < 0 && errno == EINTR) continue;
      if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      error = put < 0 ? static_cast<SystemError>(errno) : ConnectionClosedError();
      return false;
    }
    return true;
  }

  bool Receive(uint8_t* buffer, std::size_t size, std::size_t& got, SystemError& error) override {
    got = 0;
    for (;;) {
      const ssize_t read = recv(fd_, buffer, size, MSG_DONTWAIT);
      if (read > 0) {
        got = static_cast<std::size_t>(read);
        QuickAck();
        return true;
      }
      if (read == 0) {
        error = ConnectionClosedError();
        return false;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      error = static_cast<SystemError>(errno);
      return false;
    }
  }

  bool Wait(bool forSending, int timeoutMs) override {
    pollfd p[2] = {{fd_, static_cast<short>(forSending ? POLLOUT : POLLIN), 0},
                   {wake_.ReadEnd(), POLLIN, 0}};
    // An interrupted wait counts as ready: the caller looks and waits again for what is left.
    return poll(p, 2, timeoutMs) != 0;
  }

  void EndSending() override { (void)shutdown(fd_, SHUT_WR); }

  // The byte stays in the pipe: every later poll ends at once too.
  void Cancel() override { wake_.Wake(); }

 private:
  // Connects one address within the time left; the descriptor stays non-blocking.
  int ConnectOne(const addrinfo& address, uint64_t endMs, SystemError& error) {
    const int fd = socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          address.ai_protocol);
    if (fd < 0) {
      error = static_cast<SystemError>(errno);
      return -1;
    }
    if (connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
      if (errno != EINPROGRESS && errno != EINTR) {
        error = static_cast<SystemError>(errno);
        close(fd);
        return -1;
      }
      for (;;) {
        const uint64_t now = MonotonicMs();
        pollfd p[2] = {{fd, POLLOUT, 0}, {wake_.ReadEnd(), POLLIN, 0}};
        const int ready = now >= endMs ? 0 : poll(p, 2, static_cast<int>(endMs - now));
        if (ready < 0 && errno == EINTR) continue;
        if (ready > 0 && (p[1].revents & POLLIN)) {
          error = CancelledError();
          close(fd);
          return -1;
        }
        if (ready <= 0) {
          error = ready == 0 ? ETIMEDOUT : static_cast<SystemError>(errno);
          close(fd);
          return -1;
        }
        break;
      }
      int failure = 0;
      socklen_t length = sizeof failure;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) != 0 || failure != 0) {
        error = static_cast<SystemError>(failure != 0 ? failure : errno);
        close(fd);
        return -1;
      }
    }
    // Frames and replies are small and go one at a time: no waiting to fill a segment.
    const int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
  }

  // Acknowledges at once what arrives. A server that sends a reply in pieces, without TCP_NODELAY,
  // holds each piece back until the one before is acknowledged; delayed, that costs up to 40 ms a
  // piece. Linux drops the flag after a while, so it is set again after every receive.
  void QuickAck() {
#if defined(TCP_QUICKACK)
    const int on = 1;
    (void)setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
  }

  // The lookup, waited for until it ends or a cancel comes: a name server that does not answer
  // holds the system's lookup for many seconds.
  bool LookUp(const std::string& host, const std::string& service, const addrinfo& hints,
              addrinfo*& found, SystemError& error) {
    auto pending = std::make_shared<PendingLookup>();
    if (!pending->done.Open(error)) return false;
    try {
      std::thread([pending, lookup = lookup_, host, service, hints] {
        addrinfo* list = nullptr;
        const int code = lookup(host.c_str(), service.c_str(), &hints, &list);
        const int savedErrno = errno;
        const std::lock_guard lock(pending->mutex);
        pending->ended = true;
        pending->code = code;
        pending->savedErrno = savedErrno;
        pending->found = list;
        pending->done.Wake();
      }).detach();
    } catch (const std::system_error&) {
      error = EAGAIN;
      return false;
    }
    for (;;) {
      pollfd p[2] = {{pending->done.ReadEnd(), POLLIN, 0}, {wake_.ReadEnd(), POLLIN, 0}};
      const int ready = poll(p, 2, -1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) {
        error = static_cast<SystemError>(errno);
        return false;
      }
      if (p[1].revents & POLLIN) {
        error = CancelledError();
        return false;
      }
      break;
    }
    const std::lock_guard lock(pending->mutex);
    if (pending->code != 0) {
      errno = pending->savedErrno;
      error = LookupError(pending->code);
      DebugOutput(host + ": " + gai_strerror(pending->code));
      return false;
    }
    found = std::exchange(pending->found, nullptr);
    return true;
  }

  int fd_ = -1;
  WakePipe wake_;
  AddressLookup lookup_;
};

}  // namespace

std::unique_ptr<Connection> NewPosixConnection(SystemError& error, AddressLookup lookup) {
  WakePipe wake;
  if (!wake.Open(error)) return nullptr;
  return std::make_unique<PosixConnection>(std::move(wake), std::move(lookup));
}

std::unique_ptr<Connection> NewConnection(SystemError& error) {
  return NewPosixConnection(error, ::getaddrinfo);
}

SystemError ConnectionClosedError() {
  return ECONNRESET;
}

SystemError NoRoomError() {
  return ENOBUFS;
}

SystemError BadAddressError() {
  return EINVAL;
}

}  // namespace iapflash
