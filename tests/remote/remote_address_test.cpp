#include "platform/remote/remote_address.h"

#include <gtest/gtest.h>

namespace iapflash {
namespace {

TEST(RemoteAddress, NamesOfBothProtocolsWithNamesAndAddressesOfBothFamilies) {
  struct Case {
    const char* name;
    RemoteProtocol protocol;
    const char* host;
    uint16_t port;
  };
  const Case cases[] = {
      {"rfc2217://fixture-3:4001", RemoteProtocol::Rfc2217, "fixture-3", 4001},
      {"tcp://192.168.7.20:2000", RemoteProtocol::RawTcp, "192.168.7.20", 2000},
      {"rfc2217://[::1]:65535", RemoteProtocol::Rfc2217, "::1", 65535},
      {"tcp://[fe80::1%eth0]:1", RemoteProtocol::RawTcp, "fe80::1%eth0", 1},
      {"rfc2217://station.hall.example:7000", RemoteProtocol::Rfc2217, "station.hall.example",
       7000},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(IsRemotePortName(c.name)) << c.name;
    const auto address = ParseRemotePortName(c.name);
    ASSERT_TRUE(address) << c.name;
    EXPECT_EQ(address->protocol, c.protocol) << c.name;
    EXPECT_EQ(address->host, c.host) << c.name;
    EXPECT_EQ(address->port, c.port) << c.name;
  }
}

TEST(RemoteAddress, MalformedNamesAreRefused) {
  for (const char* name :
       {"rfc2217://host", "rfc2217://host:", "rfc2217://:4000", "rfc2217://host:0",
        "rfc2217://host:65536", "rfc2217://host:40a0", "rfc2217://host:+400", "tcp://::1:4000",
        "tcp://[::1]", "tcp://[::1:4000", "tcp://[]:4000", "tcp://user@host:4000",
        "tcp://host:4000/path", "rfc2217://host:123456"}) {
    EXPECT_TRUE(IsRemotePortName(name)) << name;
    EXPECT_FALSE(ParseRemotePortName(name)) << name;
  }
}

TEST(RemoteAddress, LocalNamesAreNotRemote) {
  for (const char* name : {"COM5", "ttyACM0", "/dev/pts/3", "rfc2217:/host:4000", "telnet://h:1",
                           "/dev/serial/by-path/platform-tcp://x:1"}) {
    EXPECT_FALSE(IsRemotePortName(name)) << name;
    EXPECT_FALSE(ParseRemotePortName(name)) << name;
  }
}

}  // namespace
}  // namespace iapflash
