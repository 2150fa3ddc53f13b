#include "platform/remote/connection_win32.h"

// After the socket headers (in connection_win32.h), which must come first.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/clock.h"
#include "platform/system_error.h"
#include "platform/win32/wide_text.h"

#if !defined(SIO_TCP_SET_ACK_FREQUENCY)
#define SIO_TCP_SET_ACK_FREQUENCY _WSAIOW(IOC_VENDOR, 23)
#endif

namespace iapflash {
namespace {

// Winsock is started once for the process and stays up until it ends.
bool WinsockReady(SystemError& error) {
  static const int started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (started != 0) error = static_cast<SystemError>(started);
  return started == 0;
}

// Whether the socket can receive (or send) now, or has failed. select, not WSAPoll: WSAPoll does
// not report a refused connection on older Windows.
bool ReadyNow(SOCKET socket, bool forSending) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(socket, &ready);
  FD_SET(socket, &failed);
  timeval none{0, 0};
  return select(0, forSending ? nullptr : &ready, forSending ? &ready : nullptr, &failed, &none) !=
         0;
}

// The system's code for a failed lookup.
SystemError LookupError(int code) {
  return static_cast<SystemError>(code);
}

// A lookup on its own thread, shared with it: whichever lets go last frees what it found.
struct PendingLookup {
  PendingLookup() = default;
  ~PendingLookup() {
    if (found) FreeAddrInfoW(found);
    if (done) CloseHandle(done);
  }
  PendingLookup(const PendingLookup&) = delete;
  PendingLookup& operator=(const PendingLookup&) = delete;
  std::mutex mutex;
  // Manual-reset, set once the lookup has ended; null when the system had no room for it.
  const HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  int code = 0;
  ADDRINFOW* found = nullptr;
};

class Win32Connection final : public Connection {
 public:
  // Takes both events: the socket's, and the manual-reset one that Cancel sets.
  Win32Connection(HANDLE socketEvent, HANDLE cancelEvent, AddressLookup lookup)
      : socketEvent_(socketEvent), cancelEvent_(cancelEvent), lookup_(std::move(lookup)) {}
  ~Win32Connection() override {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    WSACloseEvent(socketEvent_);
    CloseHandle(cancelEvent_);
  }
  Win32Connection(const Win32Connection&) = delete;
  Win32Connection& operator=(const Win32Connection&) = delete;

  bool Connect(const std::string& host, uint16_t port, uint32_t timeoutMs,
               SystemError& error) override {
    if (!WinsockReady(error)) return false;
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    ADDRINFOW* found = nullptr;
    if (!LookUp(Widen(host), std::to_wstring(port), hints, found, error)) return false;
    const std::unique_ptr<ADDRINFOW, decltype(&FreeAddrInfoW)> list(found, &FreeAddrInfoW);
    const uint64_t endMs = MonotonicMs() + timeoutMs;
    error = WSAETIMEDOUT;
    for (const ADDRINFOW* address = list.get(); address; address = address->ai_next) {
      socket_ = ConnectOne(*address, endMs, error);
      if (socket_ != INVALID_SOCKET) return true;
      if (error == CancelledError() || MonotonicMs() >= endMs) break;
    }
    return false;
  }

  bool Send(const uint8_t* data, std::size_t size, std::size_t& sent, SystemError& error) override {
    sent = 0;
    while (sent < size) {
      const int chunk = static_cast<int>(std::min<std::size_t>(size - sent, 1 << 20));
      const int put = send(socket_, reinterpret_cast<const char*>(data + sent), chunk, 0);
      if (put > 0) {
        sent += static_cast<std::size_t>(put);
        continue;
      }
      const int code = WSAGetLastError();
      if (put < 0 && code == WSAEWOULDBLOCK) return true;
      error = put < 0 ? static_cast<SystemError>(code) : ConnectionClosedError();
      return false;
    }
    return true;
  }

  bool Receive(uint8_t* buffer, std::size_t size, std::size_t& got, SystemError& error) override {
    got = 0;
    const int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
    const int read = recv(socket_, reinterpret_cast<char*>(buffer), chunk, 0);
    if (read > 0) {
      got = static_cast<std::size_t>(read);
      return true;
    }
    if (read == 0) {
      error = ConnectionClosedError();
      return false;
    }
    const int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK) return true;
    error = static_cast<SystemError>(code);
    return false;
  }

  bool Wait(bool forSending, int timeoutMs) override {
    return WaitFor(socket_, forSending, timeoutMs) != WaitEnd::TimedOut;
  }

  void EndSending() override { (void)shutdown(socket_, SD_SEND); }

  void Cancel() override { SetEvent(cancelEvent_); }

 private:
  enum class WaitEnd { Ready, TimedOut, Cancelled };

  // The socket's event is set by what the network did since it was last looked at, and a
  // readiness that came before is seen by the select first. A wake-up without readiness (an
  // event for the other direction) counts as ready: the caller looks and waits again.
  WaitEnd WaitFor(SOCKET socket, bool forSending, int timeoutMs) {
    if (WaitForSingleObject(cancelEvent_, 0) == WAIT_OBJECT_0) return WaitEnd::Cancelled;
    if (ReadyNow(socket, forSending)) return WaitEnd::Ready;
    const HANDLE events[2] = {cancelEvent_, socketEvent_};
    const DWORD limit = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    const DWORD woken = WSAWaitForMultipleEvents(2, events, FALSE, limit, FALSE);
    if (woken == WSA_WAIT_EVENT_0) return WaitEnd::Cancelled;
    if (woken == WSA_WAIT_TIMEOUT) return WaitEnd::TimedOut;
    WSANETWORKEVENTS seen{};
    (void)WSAEnumNetworkEvents(socket, socketEvent_, &seen);
    return WaitEnd::Ready;
  }

  SOCKET ConnectOne(const ADDRINFOW& address, uint64_t endMs, SystemError& error) {
    const SOCKET s = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (s == INVALID_SOCKET) {
      error = static_cast<SystemError>(WSAGetLastError());
      return INVALID_SOCKET;
    }
    // Also makes the socket non-blocking.
    ResetEvent(socketEvent_);
    if (WSAEventSelect(s, socketEvent_, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE) != 0) {
      error = static_cast<SystemError>(WSAGetLastError());
      closesocket(s);
      return INVALID_SOCKET;
    }
    if (connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
      const int code = WSAGetLastError();
      if (code != WSAEWOULDBLOCK) {
        error = static_cast<SystemError>(code);
        closesocket(s);
        return INVALID_SOCKET;
      }
      WaitEnd end = WaitEnd::TimedOut;
      for (;;) {
        const uint64_t now = MonotonicMs();
        if (now >= endMs) break;
        end = WaitFor(s, true, static_cast<int>(endMs - now));
        if (end == WaitEnd::Cancelled) break;
        if (ReadyNow(s, true)) {
          end = WaitEnd::Ready;
          break;
        }
        end = WaitEnd::TimedOut;
      }
      int failure = 0;
      int length = sizeof failure;
      if (end != WaitEnd::Ready ||
          getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&failure), &length) != 0 ||
          failure != 0) {
        error = end == WaitEnd::Cancelled  ? CancelledError()
                : end == WaitEnd::TimedOut ? static_cast<SystemError>(WSAETIMEDOUT)
                : failure != 0             ? static_cast<SystemError>(failure)
                                           : static_cast<SystemError>(WSAGetLastError());
        closesocket(s);
        return INVALID_SOCKET;
      }
    }
    // Frames and replies are small and go one at a time: no waiting to fill a segment.
    const BOOL on = TRUE;
    (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    // Acknowledges every segment at once: a server that sends a reply in pieces, without
    // TCP_NODELAY, holds each piece back until the one before is acknowledged. Older systems
    // refuse the request and keep their delayed acknowledgement.
    DWORD every = 1;
    DWORD returned = 0;
    (void)WSAIoctl(s, SIO_TCP_SET_ACK_FREQUENCY, &every, sizeof every, nullptr, 0, &returned,
                   nullptr, nullptr);
    return s;
  }

  // The lookup, waited for until it ends or a cancel comes: a name server that does not answer
  // holds the system's lookup for many seconds.
  bool LookUp(std::wstring host, std::wstring service, const ADDRINFOW& hints, ADDRINFOW*& found,
              SystemError& error) {
    const auto pending = std::make_shared<PendingLookup>();
    if (!pending->done) {
      error = static_cast<SystemError>(GetLastError());
      return false;
    }
    try {
      std::thread([pending, lookup = lookup_, host = std::move(host), service = std::move(service),
                   hints] {
        ADDRINFOW* list = nullptr;
        const int code = lookup(host.c_str(), service.c_str(), &hints, &list);
        const std::lock_guard lock(pending->mutex);
        pending->code = code;
        pending->found = list;
        SetEvent(pending->done);
      }).detach();
    } catch (const std::system_error&) {
      error = ERROR_NOT_ENOUGH_MEMORY;
      return false;
    }
    // The cancel first: when both are set, the cancel wins.
    const HANDLE events[2] = {cancelEvent_, pending->done};
    const DWORD woken = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0) {
      error = CancelledError();
      return false;
    }
    if (woken != WAIT_OBJECT_0 + 1) {
      error = static_cast<SystemError>(GetLastError());
      return false;
    }
    const std::lock_guard lock(pending->mutex);
    if (pending->code != 0) {
      error = LookupError(pending->code);
      return false;
    }
    found = std::exchange(pending->found, nullptr);
    return true;
  }

  SOCKET socket_ = INVALID_SOCKET;
  HANDLE socketEvent_;
  HANDLE cancelEvent_;
  AddressLookup lookup_;
};

}  // namespace

std::unique_ptr<Connection> NewWin32Connection(SystemError& error, AddressLookup lookup) {
  if (!WinsockReady(error)) return nullptr;
  const HANDLE socketEvent = WSACreateEvent();
  if (socketEvent == WSA_INVALID_EVENT) {
    error = static_cast<SystemError>(WSAGetLastError());
    return nullptr;
  }
  const HANDLE cancelEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!cancelEvent) {
    error = static_cast<SystemError>(GetLastError());
    WSACloseEvent(socketEvent);
    return nullptr;
  }
  return std::make_unique<Win32Connection>(socketEvent, cancelEvent, std::move(lookup));
}

std::unique_ptr<Connection> NewConnection(SystemError& error) {
  return NewWin32Connection(error, ::GetAddrInfoW);
}

SystemError ConnectionClosedError() {
  return WSAECONNRESET;
}

SystemError NoRoomError() {
  return WSAENOBUFS;
}

SystemError BadAddressError() {
  return ERROR_INVALID_NAME;
}

}  // namespace iapflash
