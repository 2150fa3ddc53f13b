// The connection's name lookup runs beside its wait: a cancel ends a lookup that a name server
// holds, and a lookup that ends hands its addresses on to the connect.
#include "platform/remote/connection_posix.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>
#include <memory>
#include <string>

#include "held_lookup.h"
#include "loopback_listener_posix.h"

namespace iapflash {
namespace {

TEST(PosixConnection, ALookupThatEndsHandsItsAddressesToTheConnect) {
  LoopbackListener listener;
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
