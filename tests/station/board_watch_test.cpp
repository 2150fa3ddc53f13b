#include "station/board_watch.h"

#include <gtest/gtest.h>

#include <memory>

#include "platform/device_tree.h"
#include "sim/sim_bus.h"
#include "virtual_clock.h"

namespace iapflash {
namespace {

std::string Seen(const std::vector<BoardSighting>& boards) {
  std::string text;
  for (const BoardSighting& board : boards) {
    if (!text.empty()) text += ' ';
    text += board.key + "=" + board.port + (board.iap ? "/iap" : "") +
            (board.serial.empty() ? "" : ":" + board.serial);
  }
  return text;
}

const auto NONE_IN_USE = [](const std::string&) { return false; };

SimUsbDevice Board(std::string port, std::string location, std::string bootPort) {
  SimUsbDevice board;
  board.ports = {std::move(port)};
  board.location = std::move(location);
  board.bootPort = std::move(bootPort);
  return board;
}

TEST(DeviceBoardWatch, SeesBoardsByLocationWithSerialNumbersAsTheScriptPlugsThem) {
  testing::VirtualClock clock;
  std::vector<SimUsbDevice> boards{Board("COM5", "Port_#0001.Hub_#0001", "COM9"),
                                   Board("COM6", "Port_#0002.Hub_#0001", "COM10")};
  boards[0].serial = "A1";
  boards[0].leavesAtMs = 1000;
  boards[1].arrivesAtMs = 500;
  auto bus = MakeSimulatedBus(boards, clock);
  ASSERT_NE(bus, nullptr);
  DeviceBoardWatch watch(bus->Tree());
  const struct {
    uint64_t atMs;
    const char* seen;
  } looks[] = {
      {0, "Port_#0001.Hub_#0001=COM5:A1"},
      {499, "Port_#0001.Hub_#0001=COM5:A1"},
      {500, "Port_#0001.Hub_#0001=COM5:A1 Port_#0002.Hub_#0001=COM6"},
      {1000, "Port_#0002.Hub_#0001=COM6"},
  };
  uint64_t now = 0;
  for (const auto& look : looks) {
    clock.Advance(look.atMs - now);
    now = look.atMs;
    EXPECT_EQ(Seen(watch.Look(NONE_IN_USE)), look.seen) << "at " << look.atMs << " ms";
  }
}

TEST(DeviceBoardWatch, AnApplicationComesBackAsItsBootProgramAtTheSamePlace) {
  testing::VirtualClock clock;
  SimUsbDevice board = Board("COM5", "Port_#0001.Hub_#0001", "COM9");
  board.serial = "A1";
  auto bus = MakeSimulatedBus({board}, clock);
  DeviceBoardWatch watch(bus->Tree());
  EXPECT_EQ(Seen(watch.Look(NONE_IN_USE)), "Port_#0001.Hub_#0001=COM5:A1");
  bus->Application("COM5")->Receive(reinterpret_cast<const uint8_t*>("#K!Q%T&_BLD*907M"), 16,
                                    clock.NowMs());
  clock.Advance(board.returnDelayMs);
  EXPECT_EQ(Seen(watch.Look(NONE_IN_USE)), "Port_#0001.Hub_#0001=COM9/iap:A1");
}

// The system's tree as a board leaves in the middle of a scan: time moves on as the scan lists
// the USB devices a second time (for their locations).
class LeavingDuringAScan final : public DeviceTree {
 public:
  LeavingDuringAScan(DeviceTree& tree, testing::VirtualClock& clock) : tree_(tree), clock_(clock) {}
  std::unique_ptr<DeviceSet> Present(DeviceClass deviceClass) override {
    if (++listings_ == 3) clock_.Advance(1);
    return tree_.Present(deviceClass);
  }
  bool Parent(DevInst node, DevInst& parent) override { return tree_.Parent(node, parent); }
  bool InstanceId(DevInst node, std::string& id) override { return tree_.InstanceId(node, id); }
  bool NodeProperty(DevInst node, DeviceProperty property, std::string& value) override {
    return tree_.NodeProperty(node, property, value);
  }

 private:
  DeviceTree& tree_;
  testing::VirtualClock& clock_;
  int listings_ = 0;
};

// Before, the board that left was seen as a new board without location or serial number under its
// port's name, and the station began a run on a port that was gone.
TEST(DeviceBoardWatch, ABoardThatLeavesDuringTheScanIsNotABoard) {
  testing::VirtualClock clock;
  SimUsbDevice board = Board("COM43", "Port_#0003.Hub_#0002", "");
  board.role = SimRole::BootProgram;
  board.serial = "A3";
  board.leavesAtMs = 1000;
  auto bus = MakeSimulatedBus({board}, clock);
  ASSERT_NE(bus, nullptr);
  clock.Advance(999);
  LeavingDuringAScan tree(bus->Tree(), clock);
  DeviceBoardWatch watch(tree);
  EXPECT_EQ(Seen(watch.Look(NONE_IN_USE)), "");
}

TEST(PortBoardWatch, APortIsABoardWhileItOpensAndAPortInARunIsLeftAlone) {
  testing::VirtualClock clock;
  SimUsbDevice boot = Board("COM8", "Port_#0004.Hub_#0001", "");
  boot.role = SimRole::BootProgram;
  boot.leavesAtMs = 1000;
  auto bus = MakeSimulatedBus({boot}, clock);
  PortBoardWatch watch(bus->Ports(), bus->Tree(), {"COM8", "COM99"}, true);
  EXPECT_EQ(Seen(watch.Look(NONE_IN_USE)), "COM8=COM8/iap");
  // The port is free again: the look closed it.
  SystemError error = 0;
  EXPECT_NE(bus->Ports().Open("COM8", error), nullptr);
  clock.Advance(1000);
  EXPECT_EQ(Seen(watch.Look(NONE_IN_USE)), "");
  EXPECT_EQ(Seen(watch.Look([](const std::string& key) { return key == "COM99"; })),
            "COM99=COM99/iap");
}

TEST(PortBoardWatch, AnApplicationsPortIsLookedUpForItsLocationAndSerialNumber) {
  testing::VirtualClock clock;
  SimUsbDevice board = Board("COM5", "Port_#0001.Hub_#0001", "COM9");
  board.serial = "A1";
  auto bus = MakeSimulatedBus({board}, clock);
  PortBoardWatch watch(bus->Ports(), bus->Tree(), {"COM5"}, false);
  const auto boards = watch.Look(NONE_IN_USE);
  ASSERT_EQ(boards.size(), 1u);
  EXPECT_EQ(Seen(boards), "COM5=COM5:A1");
  ASSERT_TRUE(boards[0].entry.has_value());
  EXPECT_EQ(boards[0].entry->locationInfo, "Port_#0001.Hub_#0001");
}

}  // namespace
}  // namespace iapflash
