// The pseudo-terminal server seen from the termios backend, in one process.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>

#include "fixtures.h"
#include "platform/serial_port.h"

namespace iapflash::testing {
namespace {

TEST(PtyServer, UnpluggingTheDeviceHangsUpAnOpenPort) {
  ServedDevice served;
  SystemError error = 0;
  const auto port = SystemSerialPorts().Open(served.Path(), error);
  ASSERT_NE(port, nullptr) << error;
  port->SetTimeouts({0, 1000, 5000, 0, 0});

  served.device->Disconnect();  // from this thread, while the server waits for the host
  uint8_t reply[6] = {};
  const auto start = std::chrono::steady_clock::now();
  const IoResult read = port->Read(reply, 6);
  EXPECT_FALSE(read.ok);
  EXPECT_TRUE(read.error == EIO || read.error == ENXIO) << read.error;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5))
      << "the unplugged device was waited for like a silent one";
  EXPECT_TRUE(served.server->HungUp());
  EXPECT_FALSE(std::filesystem::exists(served.Path()));
}

}  // namespace
}  // namespace iapflash::testing
