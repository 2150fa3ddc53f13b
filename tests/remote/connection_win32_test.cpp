// The connection's name lookup runs beside its wait: a cancel ends a lookup that a name server
// holds, and a lookup that ends hands its addresses on to the connect.
#include "platform/remote/connection_win32.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "held_lookup.h"

namespace iapflash {
namespace {

// A listening socket on the loopback address, at a port of the system's choosing.
class LoopbackListener {
 public:
  LoopbackListener() {
    WSADATA data{};
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    EXPECT_TRUE(started_);
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    EXPECT_EQ(bind(socket_, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(listen(socket_, 1), 0);
    EXPECT_EQ(getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length), 0);
    port_ = ntohs(address.sin_port);
  }
  ~LoopbackListener() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    if (started_) WSACleanup();
  }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;
  uint16_t Port() const { return port_; }

 private:
  bool started_ = false;
  SOCKET socket_ = INVALID_SOCKET;
  uint16_t port_ = 0;
};

TEST(Win32Connection, ALookupThatEndsHandsItsAddressesToTheConnect) {
  LoopbackListener listener;
  struct Case {
    const char* host;
    bool connects;
    SystemError error;
  };
  // Looked up as the loopback address, or as a name no server knows.
  for (const Case& c :
       {Case{"fixture-3", true, 0}, Case{"no-such-fixture", false, WSAHOST_NOT_FOUND}}) {
    SCOPED_TRACE(c.host);
    SystemError error = 0;
    auto connection = NewWin32Connection(error, [](const wchar_t* host, const wchar_t* service,
                                                   const ADDRINFOW* hints, ADDRINFOW** found) {
      if (std::wstring(host) != L"fixture-3") return WSAHOST_NOT_FOUND;
      return GetAddrInfoW(L"127.0.0.1", service, hints, found);
    });
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(connection->Connect(c.host, listener.Port(), 3000, error), c.connects);
    if (!c.connects) {
      EXPECT_EQ(error, c.error);
    }
  }
}

TEST(Win32Connection, ACancelEndsTheWaitForALookupThatDoesNotEnd) {
  const auto held = std::make_shared<HeldLookup>();
  SystemError error = 0;
  auto connection = NewWin32Connection(error, [held](const wchar_t*, const wchar_t* service,
                                                     const ADDRINFOW* hints, ADDRINFOW** found) {
    held->Hold();
    return GetAddrInfoW(L"127.0.0.1", service, hints, found);
  });
  ASSERT_NE(connection, nullptr);
  ExpectACancelToEndTheLookupsWait(*connection, *held);
}

}  // namespace
}  // namespace iapflash
