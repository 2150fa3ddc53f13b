// COM names on Windows: the system's device names ignore case, and \\.\ is only their prefix.
#include <gtest/gtest.h>

#include "platform/port_identity.h"
#include "port_pairs.h"

namespace iapflash {
namespace {

using testing::ExpectSamePortDevice;
using testing::PortPair;

TEST(LocalPortIdentity, ComNamesCompareWithoutCaseAndPrefix) {
  const PortPair pairs[] = {
      {"COM7", "COM7", true},         {"COM7", "com7", true},
      {"COM7", "\\\\.\\COM7", true},  {"\\\\.\\com7", "Com7", true},
      {"COM7", "COM17", false},       {"COM7", "COM70", false},
      {"COM7", "\\\\.\\COM8", false}, {"COM7", "rfc2217://COM7:7", false},
  };
  ExpectSamePortDevice(pairs);
}

TEST(LocalPortIdentity, OpeningTakesTheDevicePathOfAComName) {
  EXPECT_EQ(LocalPortPath("COM5"), "\\\\.\\COM5");
  EXPECT_EQ(LocalPortPath("\\\\.\\COM12"), "\\\\.\\COM12");
}

}  // namespace
}  // namespace iapflash
