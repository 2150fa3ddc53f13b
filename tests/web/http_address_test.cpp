#include "web/http_address.h"

#include <gtest/gtest.h>

namespace iapflash::web {
namespace {

struct AddressCase {
  const char* text;
  const char* host;  // null: refused
  uint16_t port;
};

TEST(HttpAddressTest, ParsesWhatTheOptionTakesAndRefusesTheRest) {
  const AddressCase cases[] = {
      {"8080", "127.0.0.1", 8080},
      {"0.0.0.0:80", "0.0.0.0", 80},
      {"192.168.1.20:65535", "192.168.1.20", 65535},
      {"localhost:1", "localhost", 1},
      {"[::1]:8080", "::1", 8080},
      {"[::]:8080", "::", 8080},
      {"", nullptr, 0},
      {"0", nullptr, 0},
      {"65536", nullptr, 0},
      {"-1", nullptr, 0},
      {"80x", nullptr, 0},
      {":80", nullptr, 0},
      {"1.2.3.4:", nullptr, 0},
      {"::1:80", nullptr, 0},
      {"[::1]8080", nullptr, 0},
      {"[::1]", nullptr, 0},
      {"a b:80", nullptr, 0},
      {"host/x:80", nullptr, 0},
  };
  for (const auto& c : cases) {
    std::string error;
    auto address = ParseHttpAddress(c.text, error);
    if (c.host == nullptr) {
      EXPECT_FALSE(address) << c.text;
      EXPECT_FALSE(error.empty()) << c.text;
      continue;
    }
    ASSERT_TRUE(address) << c.text << ": " << error;
    EXPECT_EQ(address->host, c.host) << c.text;
    EXPECT_EQ(address->port, c.port) << c.text;
  }
}

TEST(HttpAddressTest, OnlyThisMachinesOwnAddressesAreLoopback) {
  for (const char* host : {"127.0.0.1", "127.1.2.3", "localhost", "::1"}) {
    EXPECT_TRUE(IsLoopback(host)) << host;
  }
  for (const char* host : {"0.0.0.0", "::", "10.0.0.1", "127.0.0.1.example", "1127.0.0.1",
                           "127.0.0", "192.168.1.1", "localhost.example"}) {
    EXPECT_FALSE(IsLoopback(host)) << host;
  }
}

TEST(HttpAddressTest, PageUrlBracketsIpv6) {
  EXPECT_EQ(PageUrl({"127.0.0.1", 8080}), "http://127.0.0.1:8080/");
  EXPECT_EQ(PageUrl({"::1", 80}), "http://[::1]:80/");
}

}  // namespace
}  // namespace iapflash::web
