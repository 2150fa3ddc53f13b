// The connection's name lookup runs beside its wait: a cancel ends a lookup that a name server
// holds, and a lookup that ends hands its addresses on to the connect.
#include "platform/remote/connection_posix.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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

// A lookup held until the test lets go: a name server that does not answer. Shared with the
// lookup's thread, which the connection leaves behind.
struct HeldLookup {
  std::mutex mutex;
  std::condition_variable changed;
  bool started = false;
  bool released = false;
  bool ended = false;
};

TEST(PosixConnection, ACancelEndsTheWaitForALookupThatDoesNotEnd) {
  const auto held = std::make_shared<HeldLookup>();
  SystemError error = 0;
  auto connection = NewPosixConnection(
      error, [held](const char*, const char* service, const addrinfo* hints, addrinfo** found) {
        std::unique_lock lock(held->mutex);
        held->started = true;
        held->changed.notify_all();
        // Bounded, so that a connect that waits for it fails the test instead of hanging it.
        held->changed.wait_for(lock, std::chrono::seconds(10), [&] { return held->released; });
        held->ended = true;
        return getaddrinfo("127.0.0.1", service, hints, found);
      });
  ASSERT_NE(connection, nullptr);
  bool connected = true;
  std::thread connecting([&] { connected = connection->Connect("fixture-3", 9, 3000, error); });
  {
    std::unique_lock lock(held->mutex);
    held->changed.wait(lock, [&] { return held->started; });
  }
  connection->Cancel();
  connecting.join();
  bool lookupStillRunning = false;
  {
    const std::lock_guard lock(held->mutex);
    lookupStillRunning = !held->ended;
    held->released = true;
  }
  held->changed.notify_all();
  EXPECT_FALSE(connected);
  EXPECT_EQ(error, CancelledError());
  EXPECT_TRUE(lookupStillRunning) << "the connect waited for the lookup to end";
}

}  // namespace
}  // namespace iapflash
