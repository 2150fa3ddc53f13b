// The pseudo-terminal server seen from the termios backend, in one process.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <memory>

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
  // The hang-up stays; the name itself may already serve another test's terminal.
  EXPECT_FALSE(port->Read(reply, 6).ok);
}

// A start frame: 17 bytes out, 6 back.
constexpr uint8_t START_FRAME[17] = {0x57, 0xAB, 2, 12, 0, 0, 4, 0, 0, 0, 0, 4, 0, 0, 0, 0, 22};

// The device at 115200 baud (10 bits a byte), its port opened with short waits.
struct LineAt115200 {
  ServedDevice served{SimWireTiming{115200, 0, 0}};
  SystemError error = 0;
  std::unique_ptr<SerialPort> port = SystemSerialPorts().Open(served.Path(), error);
  LineAt115200() {
    if (port) port->SetTimeouts({0, 10, 1000, 10, 1000});
  }
};

TEST(PtyServer, NoReplyReachesTheHostBeforeItsLastByteIsOffTheWire) {
  LineAt115200 line;
  ASSERT_NE(line.port, nullptr) << line.error;
  const auto& port = line.port;
  const auto& frame = START_FRAME;
  const auto onTheWire = std::chrono::nanoseconds((17 + 6) * 10'000'000'000LL / 115200);
  for (int round = 0; round < 10; ++round) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(port->Write(frame, sizeof frame).count, sizeof frame);
    uint8_t reply[6] = {};
    ASSERT_EQ(port->Read(reply, 6).count, 6u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, onTheWire) << "round " << round;
    EXPECT_EQ(reply[2], 0x82) << "round " << round;
  }
}

TEST(PtyServer, AReplyReachesTheHostWholeNotByteByByte) {
  // Bytes that arrive together are handed over together, as a USB adapter's packet: the host
  // wakes once per reply. Whatever the host finds first of a reply is all of it.
  LineAt115200 line;
  ASSERT_NE(line.port, nullptr) << line.error;
  const auto& port = line.port;
  const auto& frame = START_FRAME;
  for (int round = 0; round < 10; ++round) {
    ASSERT_EQ(port->Write(frame, sizeof frame).count, sizeof frame);
    uint32_t queued = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (queued == 0 && std::chrono::steady_clock::now() < deadline) {
      ASSERT_TRUE(port->QueuedInput(queued));  // looked at, awake, until the first byte is in
    }
    EXPECT_EQ(queued, 6u) << "round " << round;
    uint8_t reply[6] = {};
    ASSERT_EQ(port->Read(reply, 6).count, 6u);
    EXPECT_EQ(reply[2], 0x82) << "round " << round;
  }
}

}  // namespace
}  // namespace iapflash::testing
