#include "app/device_scan.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "recording_panel.h"
#include "sim/sim_bus.h"
#include "tree_builder.h"
#include "virtual_clock.h"

namespace iapflash {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::RecordingPanel;
using testing::TreeBuilder;
using testing::VirtualClock;

class DeviceScanTest : public ::testing::Test {
 protected:
  uint8_t Scan() { return ScanDevices(station); }

  TreeBuilder builder;
  VirtualClock clock;
  RecordingPanel panel;
  std::unique_ptr<SimulatedBus> noPorts = MakeSimulatedBus(std::vector<SimUsbDevice>{}, clock);
  Station station{noPorts->Ports(), builder.tree, clock, panel};
};

TEST_F(DeviceScanTest, ListsEachDeviceWithItsPortsAndSelectsTheLast) {
  builder.SingleFunction("7F3C&PID_2C71", "Port_#0004.Hub_#0001", "COM5",
                         {DeviceClass::SerialPort});
  const DevInst app = builder.Composite("6B2D&PID_0A01", "Port_#0002.Hub_#0001");
  builder.Interface(app, "02", "COM4");
  builder.Interface(app, "00", "COM3");
  EXPECT_EQ(Scan(), 2);
  EXPECT_EQ(station.devices.size(), 2u);
  EXPECT_THAT(panel.Lines(), ElementsAre("已查找到2个设备"));
  EXPECT_THAT(panel.DeviceLines(),
              ElementsAre("IAP Port0>> P0:COM5,", " Port1>> P0:COM3,P1:COM4,"));
  EXPECT_EQ(panel.SelectedDevice(), 1);
}

TEST_F(DeviceScanTest, ScanThatFindsNothingEmptiesTheListAndTheTable) {
  builder.Foreign("USB\\VID_0403&PID_6001\\1", "usbser", "COM11");
  ASSERT_EQ(Scan(), 1);
  builder.tree.FailClass(DeviceClass::UsbDevice);
  EXPECT_EQ(Scan(), 0);
  EXPECT_TRUE(station.devices.empty()) << "the table holds only what the last scan found";
  EXPECT_EQ(panel.Lines().back(), "已查找到0个设备");
  EXPECT_THAT(panel.DeviceLines(), IsEmpty());
  EXPECT_EQ(panel.SelectedDevice(), -1);
}

TEST_F(DeviceScanTest, RescanSelectsTheLastDeviceAgain) {
  for (int i = 0; i < 3; ++i) {
    builder.Foreign("USB\\VID_0403&PID_6001\\" + std::to_string(i), "usbser",
                    "COM" + std::to_string(i));
  }
  Scan();
  panel.Select(0);
  Scan();
  EXPECT_EQ(panel.SelectedDevice(), 2);
}

TEST_F(DeviceScanTest, LongLineIsCutAt127Bytes) {
  const DevInst app = builder.Composite("6B2D&PID_0A01", "Port_#0002.Hub_#0001");
  std::string full = " Port0>> ";
  for (int i = 0; i < 16; ++i) {
    char mi[3];
    std::snprintf(mi, sizeof mi, "%02X", 2 * i);
    const std::string port = "ttyACM" + std::to_string(100 + i);
    builder.Interface(app, mi, port);
    full += "P" + std::to_string(i) + ":" + port + ",";
  }
  Scan();
  ASSERT_EQ(panel.DeviceLines().size(), 1u);
  EXPECT_EQ(panel.DeviceLines()[0], full.substr(0, 127));
}

TEST(DeviceScanOnTheSimulatedBus, DemoShowsItsDevicesAsTheSystemListsThem) {
  VirtualClock clock;
  RecordingPanel panel;
  auto bus = MakeSimulatedBus("demo", clock);
  ASSERT_NE(bus, nullptr);
  Station station{bus->Ports(), bus->Tree(), clock, panel};
  EXPECT_EQ(ScanDevices(station), 5);
  // Single-function devices are listed by both classes, so they appear twice.
  EXPECT_THAT(panel.DeviceLines(),
              ElementsAre(" Port0>> P0:COM5,P1:COM6,", " Port1>> P0:COM7,", "IAP Port2>> P0:COM8,",
                          " Port3>> P0:COM7,", "IAP Port4>> P0:COM8,"));
  EXPECT_EQ(station.devices[0].locationInfo, "Port_#0002.Hub_#0001");
  EXPECT_EQ(station.devices[2].locationInfo, "Port_#0004.Hub_#0001");
  EXPECT_EQ(MakeSimulatedBus("no-such-scenario", clock), nullptr);
}

}  // namespace
}  // namespace iapflash
