// The connection's name lookup runs beside its wait: a cancel ends a lookup that a name server
// holds, and a lookup that ends hands its addresses on to the connect.
#include "platform/remote/connection_posix.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include "held_lookup.h"

namespace iapflash {
namespace {

// A listening socket on the loopback address, at a port of the system's choosing.
class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(listen(fd_, 1), 0);
    EXPECT_EQ(getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length), 0);
    port_ = ntohs(address.sin_port);
  }
  ~Listener() { close(fd_); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  uint16_t Port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

TEST(PosixConnection, ALookupThatEndsHandsItsAddressesToTheConnect) {
  Listener listener;
  struct Case {
    const char* host;
    bool connects;
    SystemError error;
  };
  // Looked up as the loopback address, or as a name no server knows.
  for (const Case& c : {Case{"fixture-3", true, 0}, Case{"no-such-fixture", false, ENXIO}}) {
    SCOPED_TRACE(c.host);
    SystemError error = 0;
    auto connection = NewPosixConnection(
        error, [](const char* host, const char* service, const addrinfo* hints, addrinfo** found) {
          if (std::string(host) != "fixture-3") return EAI_NONAME;
          return getaddrinfo("127.0.0.1", service, hints, found);
        });
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(connection->Connect(c.host, listener.Port(), 3000, error), c.connects);
    if (!c.connects) {
      EXPECT_EQ(error, c.error);
    }
  }
}

TEST(PosixConnection, ACancelEndsTheWaitForALookupThatDoesNotEnd) {
  const auto held = std::make_shared<HeldLookup>();
  SystemError error = 0;
  auto connection = NewPosixConnection(
      error, [held](const char*, const char* service, const addrinfo* hints, addrinfo** found) {
        held->Hold();
        return getaddrinfo("127.0.0.1", service, hints, found);
      });
  ASSERT_NE(connection, nullptr);
  ExpectACancelToEndTheLookupsWait(*connection, *held);
}

}  // namespace
}  // namespace iapflash
