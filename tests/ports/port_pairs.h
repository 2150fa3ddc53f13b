#pragma once

#include <gtest/gtest.h>

#include <span>

#include "platform/port_identity.h"

namespace iapflash::testing {

// Two port names and whether they name one device: the answer holds in either order.
struct PortPair {
  const char* a;
  const char* b;
  bool same;
};

inline void ExpectSamePortDevice(std::span<const PortPair> pairs) {
  for (const PortPair& p : pairs) {
    EXPECT_EQ(SamePortDevice(p.a, p.b), p.same) << p.a << " / " << p.b;
    EXPECT_EQ(SamePortDevice(p.b, p.a), p.same) << p.b << " / " << p.a;
  }
}

}  // namespace iapflash::testing
