#include "sim/sim_serial_port.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "virtual_clock.h"

namespace iapflash {
namespace {

using testing::VirtualClock;

const uint8_t START_FRAME[] = {0x57, 0xAB, 0x02, 0x0C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0E};

class SimSerialPortTest : public ::testing::Test {
 protected:
  SimSerialPortTest() {
    ports.Attach("SIM7", device);
    SystemError error = 0;
    port = ports.Open("SIM7", error);
    SerialTimeouts timeouts;
    timeouts.readMultiplier = 1000;
    timeouts.readConstant = 2000;
    port->SetTimeouts(timeouts);
  }

  VirtualClock clock;
  std::shared_ptr<SimDevice> device = std::make_shared<SimDevice>();
  SimSerialPorts ports{clock};
  std::unique_ptr<SerialPort> port;
};

TEST_F(SimSerialPortTest, ReadOfASilentDeviceEndsAtItsTotalTimeout) {
  uint8_t buffer[6];
  const uint64_t before = clock.NowMs();
  const IoResult read = port->Read(buffer, sizeof buffer);
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.count, 0u);
  EXPECT_EQ(clock.NowMs() - before, 8000u);
}

TEST_F(SimSerialPortTest, ReadReturnsWhenALateReplyArrives) {
  device->AddFault(*ParseSimFault("slow-start:3000"));
  ASSERT_TRUE(port->Write(START_FRAME, sizeof START_FRAME).ok);
  uint32_t queued = 99;
  ASSERT_TRUE(port->QueuedInput(queued));
  EXPECT_EQ(queued, 0u);
  uint8_t buffer[6];
  const uint64_t before = clock.NowMs();
  const IoResult read = port->Read(buffer, sizeof buffer);
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.count, 6u);
  EXPECT_EQ(clock.NowMs() - before, 3000u);
}

TEST_F(SimSerialPortTest, ShortReplyIsReturnedAtTheTimeout) {
  device->AddFault(*ParseSimFault("short:start"));
  ASSERT_TRUE(port->Write(START_FRAME, sizeof START_FRAME).ok);
  uint8_t buffer[6];
  const IoResult read = port->Read(buffer, sizeof buffer);
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.count, 5u);
}

TEST_F(SimSerialPortTest, PurgeDropsWhatHasArrived) {
  ASSERT_TRUE(port->Write(START_FRAME, sizeof START_FRAME).ok);
  uint32_t queued = 0;
  ASSERT_TRUE(port->QueuedInput(queued));
  EXPECT_EQ(queued, 6u);
  ASSERT_TRUE(port->Purge());
  ASSERT_TRUE(port->QueuedInput(queued));
  EXPECT_EQ(queued, 0u);
}

TEST_F(SimSerialPortTest, EveryCallFailsOnceTheDeviceIsGone) {
  device->AddFault(*ParseSimFault("disconnect:10"));
  const IoResult write = port->Write(START_FRAME, sizeof START_FRAME);
  EXPECT_FALSE(write.ok);
  EXPECT_EQ(write.count, 10u);
  EXPECT_EQ(write.error, SIM_ERROR_DISCONNECTED);
  uint8_t buffer[6];
  const IoResult read = port->Read(buffer, sizeof buffer);
  EXPECT_FALSE(read.ok);
  EXPECT_EQ(read.error, SIM_ERROR_DISCONNECTED);
  uint32_t queued = 0;
  EXPECT_FALSE(port->QueuedInput(queued));
  EXPECT_FALSE(port->Purge());
  EXPECT_FALSE(port->Write(START_FRAME, sizeof START_FRAME).ok);
}

TEST_F(SimSerialPortTest, PortsOpenOnceByNameAndRecordTheirSettings) {
  SystemError error = 0;
  EXPECT_EQ(ports.Open("SIM7", error), nullptr);
  EXPECT_EQ(error, SIM_ERROR_PORT_BUSY);
  EXPECT_EQ(ports.Open("SIM8", error), nullptr);
  EXPECT_EQ(error, SIM_ERROR_NO_PORT);

  port->SetQueueSizes(8192, 4096);
  port->SetLineSettings({115200, 8, NO_PARITY, ONE_STOP_BIT});
  SimPortRecord record = ports.Record("SIM7");
  EXPECT_TRUE(record.open);
  EXPECT_EQ(record.inputQueue, 8192u);
  EXPECT_EQ(record.outputQueue, 4096u);
  EXPECT_EQ(record.line.baudRate, 115200u);
  EXPECT_EQ(record.timeouts.readConstant, 2000u);

  port.reset();
  EXPECT_FALSE(ports.Record("SIM7").open);
  port = ports.Open("SIM7", error);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(ports.Record("SIM7").opens, 2u);

  port.reset();
  device->Disconnect();
  EXPECT_EQ(ports.Open("SIM7", error), nullptr) << "an unplugged device has no port";
  EXPECT_EQ(error, SIM_ERROR_NO_PORT);
}

TEST_F(SimSerialPortTest, WireTimingPacesTheReplyInVirtualTime) {
  // 10 ms per byte: the 17-byte frame takes 170 ms, the reply 60 ms.
  device->SetWireTiming({1000, 0, 0});
  const uint64_t before = clock.NowMs();
  ASSERT_TRUE(port->Write(START_FRAME, sizeof START_FRAME).ok);
  uint8_t buffer[6];
  const IoResult read = port->Read(buffer, sizeof buffer);
  EXPECT_EQ(read.count, 6u);
  EXPECT_EQ(clock.NowMs() - before, 230u);
}

}  // namespace
}  // namespace iapflash
