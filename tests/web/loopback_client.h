#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace iapflash::web::testing {

// A plain TCP client of the test's own server, on this machine only. Each read waits at most
// 10 s (a bound for a server that fails the test, not a pace).
class LoopbackClient {
 public:
  // Connects to host:port; `receiveBuffer` (bytes, 0: the system's) makes a reader that holds
  // little of what it does not read.
  LoopbackClient(const char* host, uint16_t port, int receiveBuffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    timeval limit{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, host, &address.sin_addr);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~LoopbackClient() { ::close(fd_); }
  LoopbackClient(const LoopbackClient&) = delete;
  LoopbackClient& operator=(const LoopbackClient&) = delete;

  bool Connected() const { return connected_; }

  void Send(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
  }

  // Reads until `text` has arrived after what the last ReadUntil found; false when the
  // connection ended (or stalled) first.
  bool ReadUntil(std::string_view text) {
    size_t from = found_;
    for (;;) {
      size_t at = received_.find(text, from);
      if (at != std::string::npos) {
        found_ = at + text.size();
        return true;
      }
      from = std::max(from, received_.size() > text.size() ? received_.size() - text.size() : 0);
      if (!ReadSome()) return false;
    }
  }
  // Reads until the server closes the connection; false when it stalled instead.
  bool ReadToEnd() {
    while (ReadSome()) {
    }
    return ended_;
  }

  const std::string& Received() const { return received_; }

 private:
  bool ReadSome() {
    char buffer[65536];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n == 0) ended_ = true;
    if (n <= 0) return false;
    received_.append(buffer, static_cast<size_t>(n));
    return true;
  }

  int fd_ = -1;
  bool connected_ = false;
  bool ended_ = false;
  std::string received_;
  size_t found_ = 0;
};

// One whole request and its whole response (the connection closes after it).
inline std::string Request(uint16_t port, std::string_view method, std::string_view path,
                           std::string_view body = "") {
  LoopbackClient client("127.0.0.1", port);
  client.Send(std::string(method) + " " + std::string(path) +
              " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: " +
              std::to_string(body.size()) + "\r\n\r\n" + std::string(body));
  client.ReadToEnd();
  return client.Received();
}

inline std::string EventsRequest() {
  return "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n";
}

}  // namespace iapflash::web::testing
