// One device under many names: remote names by the server they reach, on both systems.
#include "platform/port_identity.h"

#include <gtest/gtest.h>

#include "platform/remote/remote_address.h"
#include "port_pairs.h"

namespace iapflash {
namespace {

using testing::ExpectSamePortDevice;
using testing::PortPair;

TEST(PortIdentity, RemoteNamesAreOneDeviceWhenTheyReachOneServerAndPort) {
  const PortPair pairs[] = {
      {"rfc2217://127.0.0.1:4001", "rfc2217://127.0.0.1:4001", true},
      {"rfc2217://127.0.0.1:4001", "rfc2217://localhost:4001", true},
      {"rfc2217://127.0.0.1:4001", "tcp://127.0.0.1:4001", true},
      {"tcp://localhost:4001", "rfc2217://127.0.0.1:4001", true},
      {"RFC2217://127.0.0.1:4001", "rfc2217://127.0.0.1:4001", true},
      {"Tcp://LocalHost:4001", "rfc2217://localhost:4001", true},
      {"rfc2217://[::ffff:127.0.0.1]:4001", "tcp://127.0.0.1:4001", true},
      {"rfc2217://127.0.0.1:4001", "rfc2217://127.0.0.1:4002", false},
      {"rfc2217://127.0.0.1:4001", "rfc2217://127.0.0.2:4001", false},
      {"rfc2217://localhost:4001", "rfc2217://localhost:40010", false},
      // A remote name never names a local port, whatever its letters.
      {"rfc2217://127.0.0.1:4001", "127.0.0.1:4001", false},
      {"tcp://host:1", "tcp:/host:1", false},
  };
  ExpectSamePortDevice(pairs);
}

TEST(PortIdentity, SchemesIgnoreCase) {
  for (const char* name : {"RFC2217://host:4000", "Rfc2217://host:4000", "TCP://host:4000"}) {
    EXPECT_TRUE(IsRemotePortName(name)) << name;
    const auto address = ParseRemotePortName(name);
    ASSERT_TRUE(address) << name;
    EXPECT_EQ(address->host, "host");
    EXPECT_EQ(address->port, 4000);
  }
  EXPECT_EQ(ParseRemotePortName("TCP://h:1")->protocol, RemoteProtocol::RawTcp);
  EXPECT_EQ(ParseRemotePortName("RFC2217://h:1")->protocol, RemoteProtocol::Rfc2217);
}

}  // namespace
}  // namespace iapflash
