#include "link/mode_switch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "recording_panel.h"
#include "recording_ports.h"
#include "sim/sim_bus.h"
#include "virtual_clock.h"

namespace iapflash {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::RecordingEvents;
using testing::RecordingPanel;
using testing::RecordingPorts;
using testing::VirtualClock;

constexpr const char* HERE = "Port_#0002.Hub_#0001";
constexpr const char* THERE = "Port_#0001.Hub_#0001";

SimUsbDevice App(SimAppBehaviour behaviour, uint32_t returnDelayMs,
                 std::vector<std::string> ports = {"COM5", "COM6"}) {
  SimUsbDevice device;
  device.ports = std::move(ports);
  device.location = HERE;
  device.behaviour = behaviour;
  device.returnDelayMs = returnDelayMs;
  device.bootPort = "COM9";
  return device;
}

SimUsbDevice Boot(std::string port, std::string location) {
  SimUsbDevice device;
  device.role = SimRole::BootProgram;
  device.ports = {std::move(port)};
  device.location = std::move(location);
  return device;
}

std::string Repeat(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += text;
  return all;
}

class ModeSwitchTest : public ::testing::Test {
 protected:
  void Use(const std::vector<SimUsbDevice>& devices) {
    bus = MakeSimulatedBus(devices, clock);
    ports.emplace(bus->Ports());
    env.emplace(LinkEnv{*ports, bus->Tree(), clock, panel, events});
  }
  // The application's port COM5; portName then holds the boot program's port, if any.
  bool Switch(const char* location = HERE) {
    portName = EnterIapMode(*env, "COM5", location);
    return portName.has_value();
  }

  VirtualClock clock;
  RecordingPanel panel;
  RecordingEvents events;
  std::unique_ptr<SimulatedBus> bus;
  std::optional<RecordingPorts> ports;
  std::optional<LinkEnv> env;
  std::optional<std::string> portName;
};

TEST_F(ModeSwitchTest, DeviceBackAtTheFirstSearchGivesItsNewPort) {
  Use({App(SimAppBehaviour::Switches, 0)});
  ASSERT_TRUE(Switch());
  EXPECT_EQ(portName, "COM9");
  EXPECT_THAT(events.Events(), ElementsAre(RunEvent{PortOpened{"COM5", PortRole::Application}},
                                           RunEvent{ModeSwitchStep{SwitchStage::Requested, ""}},
                                           RunEvent{ModeSwitchStep{SwitchStage::Found, "COM9"}}));
  EXPECT_THAT(panel.Lines(),
              ElementsAre("    COM5打开成功", "    开始切换至IAP模式", ".已切换,端口:COM9"));
  EXPECT_THAT(clock.Sleeps(), IsEmpty());

  const RecordingPorts::Calls calls = ports->Recorded();
  EXPECT_THAT(calls.opened, ElementsAre("COM5"));
  EXPECT_THAT(calls.written, ElementsAre("#K!Q%T&_BLD*907M"));
  EXPECT_EQ(calls.inputQueue, 8192u);
  EXPECT_EQ(calls.outputQueue, 8192u);
  EXPECT_EQ(calls.timeouts.readInterval, 0u);
  EXPECT_EQ(calls.timeouts.readMultiplier, 1u);
  EXPECT_EQ(calls.timeouts.readConstant, 2000u);
  EXPECT_EQ(calls.timeouts.writeMultiplier, 50u);
  EXPECT_EQ(calls.timeouts.writeConstant, 500u);
  EXPECT_EQ(calls.purges, 1);
  EXPECT_EQ(calls.line.baudRate, 115200u);
  EXPECT_EQ(calls.line.byteSize, 8);
  EXPECT_EQ(calls.line.parity, NO_PARITY);
  EXPECT_EQ(calls.line.stopBits, ONE_STOP_BIT);
  EXPECT_EQ(calls.closes, 1) << "the application's port is closed";
}

TEST_F(ModeSwitchTest, SearchesEvery200MsWithADotUntilTheDeviceIsBack) {
  Use({App(SimAppBehaviour::Switches, 500)});
  ASSERT_TRUE(Switch());
  EXPECT_THAT(clock.Sleeps(), ElementsAre(200u, 200u, 200u));
  EXPECT_EQ(panel.Lines().back(), "....已切换,端口:COM9");
}

TEST_F(ModeSwitchTest, DeviceThatNeverComesBackFailsAfterFifteenSearches) {
  Use({App(SimAppBehaviour::NeverReturns, 0)});
  const uint64_t start = clock.NowMs();
  EXPECT_FALSE(Switch());
  EXPECT_EQ(clock.Sleeps().size(), 15u);
  EXPECT_THAT(clock.Sleeps(), Each(200u));
  EXPECT_EQ(clock.NowMs() - start, 3000u);
  EXPECT_THAT(panel.Lines(),
              ElementsAre("    COM5打开成功", "    开始切换至IAP模式", Repeat(".", 16)));
}

TEST_F(ModeSwitchTest, SilentApplicationFailsAfterTheReplyTimeWithoutSearching) {
  Use({App(SimAppBehaviour::Silent, 0)});
  const uint64_t start = clock.NowMs();
  EXPECT_FALSE(Switch());
  EXPECT_EQ(clock.NowMs() - start, 2014u) << "14 bytes x 1 ms + 2000 ms";
  EXPECT_THAT(panel.Lines(),
              ElementsAre("    COM5打开成功", "    开始切换至IAP模式", ".    设备无响应1:"));
  SystemError error = 0;
  EXPECT_NE(bus->Ports().Open("COM5", error), nullptr) << "the port was closed";
}

TEST_F(ModeSwitchTest, OtherReplyIsShownAndTheSearchStillDecides) {
  Use({App(SimAppBehaviour::WrongReply, 0)});
  ASSERT_TRUE(Switch());
  EXPECT_THAT(panel.Lines(), ElementsAre("    COM5打开成功", "    开始切换至IAP模式",
                                         ".    设备无响应2:Enter_IAP_Mode", "已切换,端口:COM9"));
}

TEST_F(ModeSwitchTest, PortHeldByAnotherProgramIsNotSwitched) {
  Use({App(SimAppBehaviour::Switches, 0)});
  SystemError error = 0;
  auto heldElsewhere = bus->Ports().Open("COM5", error);
  ASSERT_NE(heldElsewhere, nullptr);
  EXPECT_FALSE(Switch());
  // The system's own text, which on Windows ends in a line end of its own.
  EXPECT_EQ(panel.Log(),
            "    COM5打开失败\r\n打开串口::Last Err(10)" + SystemErrorText(EBUSY) + "\r\n");
  EXPECT_EQ(bus->Application("COM5")->Requests(), 0u);
  EXPECT_THAT(events.Events(), IsEmpty()) << "no port was opened";
}

TEST_F(ModeSwitchTest, FailedTransfersShowTheSystemErrorAndClose) {
  struct Case {
    bool failWrite;
    std::string line;
  };
  for (const Case& c : {Case{true, "    发送模式请求失败::Last Err(5)"},
                        Case{false, "    等待模式应答失败::Last Err(5)"}}) {
    SCOPED_TRACE(c.line);
    panel.ClearLog();
    Use({App(SimAppBehaviour::Switches, 0)});
    (c.failWrite ? ports->failWrite : ports->failRead) = EIO;
    EXPECT_FALSE(Switch());
    EXPECT_TRUE(panel.Log().ends_with("\r\n" + std::string(c.failWrite ? "" : ".") + c.line +
                                      SystemErrorText(EIO) + "\r\n"))
        << panel.Log();
    EXPECT_EQ(ports->Recorded().closes, 1);
  }
}

TEST(FindIapPort, TakesOnlyTheBootProgramAtExactlyTheSavedLocation) {
  VirtualClock clock;
  auto bus = MakeSimulatedBus({Boot("COM8", THERE), Boot("COM9", HERE), Boot("COM4", "")}, clock);
  struct Case {
    const char* location;
    const char* port;  // null: not found
  };
  for (const Case& c : {Case{HERE, "COM9"}, Case{THERE, "COM8"}, Case{"", "COM4"},
                        Case{"Port_#0002.Hub_#0001 ", nullptr},
                        Case{"port_#0002.hub_#0001", nullptr}, Case{"Port_#0002", nullptr}}) {
    SCOPED_TRACE(c.location);
    const std::optional<std::string> found = FindIapPort(bus->Tree(), c.location);
    EXPECT_EQ(found, c.port ? std::optional<std::string>(c.port) : std::nullopt);
  }
}

TEST(FindIapPort, ApplicationAtTheLocationIsNotTaken) {
  VirtualClock clock;
  auto bus = MakeSimulatedBus({App(SimAppBehaviour::Switches, 0, {"COM7"})}, clock);
  EXPECT_FALSE(FindIapPort(bus->Tree(), HERE));
}

TEST(FindIapPort, PortNameTooLongForTheBufferIsRefusedNotCut) {
  VirtualClock clock;
  const std::string fits(PORT_NAME_SIZE - 1, 'a');
  const std::string tooLong(PORT_NAME_SIZE, 'b');
  auto bus = MakeSimulatedBus({Boot(tooLong, HERE), Boot(fits, THERE)}, clock);
  EXPECT_FALSE(FindIapPort(bus->Tree(), HERE));
  EXPECT_EQ(FindIapPort(bus->Tree(), THERE), fits);
}

}  // namespace
}  // namespace iapflash
