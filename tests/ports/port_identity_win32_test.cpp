// COM names on Windows: the system's device names ignore case, and \\.\ is only their prefix.
#include <gtest/gtest.h>

#include "platform/port_identity.h"

namespace iapflash {
namespace {

struct Pair {
  const char* a;
  const char* b;
  bool same;
};

TEST(LocalPortIdentity, ComNamesCompareWithoutCaseAndPrefix) {
  const Pair pairs[] = {
      {"COM7", "COM7", true},         {"COM7", "com7", true},
      {"COM7", "\\\\.\\COM7", true},  {"\\\\.\\com7", "Com7", true},
      {"COM7", "COM17", false},       {"COM7", "COM70", false},
      {"COM7", "\\\\.\\COM8", false}, {"COM7", "rfc2217://COM7:7", false},
  };
  for (const Pair& p : pairs) {
    EXPECT_EQ(SamePortDevice(p.a, p.b), p.same) << p.a << " / " << p.b;
    EXPECT_EQ(SamePortDevice(p.b, p.a), p.same) << p.b << " / " << p.a;
  }
}

TEST(LocalPortIdentity, OpeningTakesTheDevicePathOfAComName) {
  EXPECT_EQ(LocalPortPath("COM5"), "\\\\.\\COM5");
  EXPECT_EQ(LocalPortPath("\\\\.\\COM12"), "\\\\.\\COM12");
}

}  // namespace
}  // namespace iapflash
