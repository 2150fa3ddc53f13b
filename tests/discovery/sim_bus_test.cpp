#include "sim/sim_bus.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "app/device_scan.h"
#include "link/mode_switch.h"
#include "recording_panel.h"
#include "sim/sim_serial_port.h"
#include "virtual_clock.h"

namespace iapflash {
namespace {

using ::testing::ElementsAre;
using testing::RecordingPanel;
using testing::VirtualClock;

const uint8_t* Bytes(std::string_view text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

class SimBusTest : public ::testing::Test {
 protected:
  std::vector<std::string> ScanLines() {
    ScanDevices(station);
    return panel.DeviceLines();
  }

  VirtualClock clock;
  RecordingPanel panel;
  std::unique_ptr<SimulatedBus> bus = MakeSimulatedBus("demo", clock);
  Station station{bus->Ports(), bus->Tree(), clock, panel};
};

TEST_F(SimBusTest, ApplicationComesBackAsItsBootProgramAfterItsDelay) {
  SystemError error = 0;
  auto app = bus->Ports().Open("COM5", error);
  ASSERT_NE(app, nullptr);
  SerialTimeouts timeouts;
  timeouts.readConstant = 100;
  app->SetTimeouts(timeouts);
  ASSERT_TRUE(app->Write(Bytes(IAP_MODE_REQUEST), IAP_MODE_REQUEST.size()).ok);
  char reply[15] = {};
  const IoResult read = app->Read(reinterpret_cast<uint8_t*>(reply), 14);
  EXPECT_TRUE(read.ok);
  EXPECT_STREQ(reply, "Enter?IAP?Mode");

  clock.Advance(499);
  EXPECT_EQ(ScanLines()[0], " Port0>> P0:COM5,P1:COM6,") << "not yet gone";
  clock.Advance(1);
  EXPECT_THAT(ScanLines(),
              ElementsAre(" Port0>> P0:COM7,", "IAP Port1>> P0:COM8,", "IAP Port2>> P0:COM9,",
                          " Port3>> P0:COM7,", "IAP Port4>> P0:COM8,", "IAP Port5>> P0:COM9,"));
  EXPECT_EQ(station.devices[2].locationInfo, "Port_#0002.Hub_#0001");

  EXPECT_FALSE(app->Write(Bytes("x"), 1).ok) << "the application has left";
  EXPECT_EQ(app->Read(reinterpret_cast<uint8_t*>(reply), 1).error, SIM_ERROR_DISCONNECTED);
  EXPECT_EQ(bus->Ports().Open("COM6", error), nullptr);
  EXPECT_EQ(error, SIM_ERROR_NO_PORT);
  EXPECT_NE(bus->BootProgram("COM9"), nullptr);
}

TEST_F(SimBusTest, PortsOpenOnceAtATime) {
  for (const char* name : {"COM6", "COM8"}) {
    SCOPED_TRACE(name);
    SystemError error = 0;
    auto first = bus->Ports().Open(name, error);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(bus->Ports().Open(name, error), nullptr);
    EXPECT_EQ(error, SIM_ERROR_PORT_BUSY);
    first.reset();
    EXPECT_NE(bus->Ports().Open(name, error), nullptr);
  }
}

TEST_F(SimBusTest, OnlyTheFirstInterfaceListensToTheRequest) {
  SystemError error = 0;
  auto second = bus->Ports().Open("COM6", error);
  ASSERT_TRUE(second->Write(Bytes(IAP_MODE_REQUEST), IAP_MODE_REQUEST.size()).ok);
  uint32_t queued = 1;
  EXPECT_TRUE(second->QueuedInput(queued));
  EXPECT_EQ(queued, 0u);
  EXPECT_EQ(bus->Application("COM5")->Requests(), 0u);
}

// Scans on the window's thread while a download's mode switch runs on its worker.
TEST_F(SimBusTest, ScanAndSwitchRunSideBySide) {
  RecordingPanel workerPanel;
  testing::RecordingEvents events;
  LinkEnv worker{bus->Ports(), bus->Tree(), clock, workerPanel, events};
  bool switched = false;
  std::thread download(
      [&] { switched = EnterIapMode(worker, "COM7", "Port_#0003.Hub_#0001").has_value(); });
  for (int i = 0; i < 20; ++i) ScanDevices(station);
  download.join();
  EXPECT_TRUE(switched);
  EXPECT_EQ(workerPanel.Lines().back(), "....已切换,端口:COM10");
}

TEST(SimulatedBusLayout, DevicesWithoutPortsOrSharingANameAreRefused) {
  VirtualClock clock;
  SimUsbDevice noPort;
  SimUsbDevice app;
  app.ports = {"COM5"};
  app.bootPort = "COM9";
  SimUsbDevice boot;
  boot.role = SimRole::BootProgram;
  boot.ports = {"COM9"};
  EXPECT_EQ(MakeSimulatedBus({noPort}, clock), nullptr);
  EXPECT_EQ(MakeSimulatedBus({app, boot}, clock), nullptr) << "COM9 twice";
  boot.ports = {"COM8"};
  EXPECT_NE(MakeSimulatedBus({app, boot}, clock), nullptr);
}

}  // namespace
}  // namespace iapflash
