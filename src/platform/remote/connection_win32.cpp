#include <winsock2.h>
#include <ws2tcpip.h>
// After the socket headers, which must come first.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/remote/connection.h"
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

// select, not WSAPoll: WSAPoll does not report a refused connection on older Windows.
int WaitFor(SOCKET socket, bool forSending, int timeoutMs) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(socket, &ready);
  FD_SET(socket, &failed);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return select(0, forSending ? nullptr : &ready, forSending ? &ready : nullptr, &failed,
                timeoutMs < 0 ? nullptr : &limit);
}

class Win32Connection final : public Connection {
 public:
  explicit Win32Connection(SOCKET socket) : socket_(socket) {}
  ~Win32Connection() override { closesocket(socket_); }
  Win32Connection(const Win32Connection&) = delete;
  Win32Connection& operator=(const Win32Connection&) = delete;

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
    return WaitFor(socket_, forSending, timeoutMs) != 0;
  }

  void EndSending() override { (void)shutdown(socket_, SD_SEND); }

 private:
  SOCKET socket_;
};

SOCKET ConnectOne(const addrinfo& address, uint64_t endMs, SystemError& error) {
  const SOCKET s = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
  if (s == INVALID_SOCKET) {
    error = static_cast<SystemError>(WSAGetLastError());
    return INVALID_SOCKET;
  }
  u_long nonBlocking = 1;
  if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
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
    const uint64_t now = GetTickCount64();
    const int left = now >= endMs ? 0 : static_cast<int>(endMs - now);
    const int ready = WaitFor(s, true, left);
    int failure = 0;
    int length = sizeof failure;
    if (ready <= 0 ||
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&failure), &length) != 0 ||
        failure != 0) {
      error = ready == 0     ? static_cast<SystemError>(WSAETIMEDOUT)
              : ready < 0    ? static_cast<SystemError>(WSAGetLastError())
              : failure != 0 ? static_cast<SystemError>(failure)
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
  (void)WSAIoctl(s, SIO_TCP_SET_ACK_FREQUENCY, &every, sizeof every, nullptr, 0, &returned, nullptr,
                 nullptr);
  return s;
}

}  // namespace

std::unique_ptr<Connection> Connect(const std::string& host, uint16_t port, uint32_t timeoutMs,
                                    SystemError& error) {
  if (!WinsockReady(error)) return nullptr;
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  ADDRINFOW* found = nullptr;
  const int lookup =
      GetAddrInfoW(Widen(host).c_str(), std::to_wstring(port).c_str(), &hints, &found);
  if (lookup != 0) {
    error = static_cast<SystemError>(lookup);
    return nullptr;
  }
  const std::unique_ptr<ADDRINFOW, decltype(&FreeAddrInfoW)> list(found, &FreeAddrInfoW);
  const uint64_t endMs = GetTickCount64() + timeoutMs;
  error = WSAETIMEDOUT;
  for (const ADDRINFOW* address = list.get(); address; address = address->ai_next) {
    addrinfo plain{};
    plain.ai_family = address->ai_family;
    plain.ai_socktype = address->ai_socktype;
    plain.ai_protocol = address->ai_protocol;
    plain.ai_addr = address->ai_addr;
    plain.ai_addrlen = address->ai_addrlen;
    const SOCKET s = ConnectOne(plain, endMs, error);
    if (s != INVALID_SOCKET) return std::make_unique<Win32Connection>(s);
    if (GetTickCount64() >= endMs) break;
  }
  return nullptr;
}

SystemError ConnectionClosedError() {
  return WSAECONNRESET;
}

SystemError BadAddressError() {
  return ERROR_INVALID_NAME;
}

}  // namespace iapflash
