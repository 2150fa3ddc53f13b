// --port slots given as links (as a line names its sockets: /dev/serial/by-path, by-id) to the
// devices a scan lists under their own names. Files stand in for the device nodes: a link and
// its target open the same file, as a by-path link and its ttyACM node open one terminal.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "agreeable_port.h"
#include "discovery/serial_discovery.h"
#include "station/board_watch.h"
#include "temp_folder.h"
#include "tree_builder.h"

namespace iapflash::port_board_watch {
namespace {

using testing::TempFolder;
using testing::Text;
using testing::TreeBuilder;

const auto NONE_IN_USE = [](const std::string&) { return false; };

// Opens a local name while the file it leads to is there, a remote name while it is up.
class PathPorts final : public SerialPorts {
 public:
  std::unique_ptr<SerialPort> Open(const std::string& name, SystemError& error) override {
    ++opens;
    if (remoteUp.count(name) != 0 || (!IsRemotePortName(name) && std::filesystem::exists(name))) {
      return std::make_unique<testing::AgreeablePort>();
    }
    error = 2;
    return nullptr;
  }
  std::set<std::string> remoteUp;
  int opens = 0;
};

// Boards in the sockets of one hub: each a boot program (single-function device) whose node is
// a file of the folder, with a serial number where it has one.
class Sockets {
 public:
  std::string Node(const std::string& name) {
    const std::string path = folder.Path(name).string();
    std::ofstream(path).put('\0');
    return path;
  }
  DevInst Board(const std::string& node, const std::string& location, const std::string& serial) {
    const DevInst id = tree.SingleFunction("7F3C&PID_2C71", location, node);
    if (!serial.empty()) tree.tree[id].properties[DeviceProperty::SerialNumber] = Text(serial);
    return id;
  }
  // The link now leads to node; an empty node: the link is gone.
  void Point(const std::filesystem::path& link, const std::string& node) {
    std::filesystem::remove(link);
    if (!node.empty()) std::filesystem::create_symlink(node, link);
  }

  TempFolder folder;
  TreeBuilder tree;
};

class PortBoardWatchLinks : public ::testing::TestWithParam<bool> {};

TEST_P(PortBoardWatchLinks, ASlotGivenAsALinkGetsTheSerialNumberAndLocationOfItsDevice) {
  const bool iap = GetParam();
  Sockets sockets;
  const std::string node = sockets.Node("ttyACM3");
  sockets.Board(sockets.Node("ttyACM2"), "1-1.1:1.0", "OTHER");
  sockets.Board(node, "1-1.2:1.0", "A1");
  const auto link = sockets.folder.Path("pci-0000:00:14.0-usb-0:1.2:1.0");
  sockets.Point(link, node);
  PathPorts ports;
  PortBoardWatch watch(ports, sockets.tree.tree, {link.string()}, iap);

  const std::vector<BoardSighting> boards = watch.Look(NONE_IN_USE);
  ASSERT_EQ(boards.size(), 1u);
  EXPECT_EQ(boards[0].key, link.string());
  EXPECT_EQ(boards[0].serial, "A1");
  EXPECT_TRUE(boards[0].iap);
  ASSERT_TRUE(boards[0].entry.has_value());
  EXPECT_EQ(boards[0].entry->serialNumber, "A1");
  EXPECT_EQ(boards[0].entry->locationInfo, "1-1.2:1.0");
  ASSERT_EQ(boards[0].entry->ports.size(), 1u);
  // Switched applications are found again by their scanned port; --iap runs open the port as
  // given, as flash --port does.
  EXPECT_EQ(boards[0].entry->ports[0].portName, iap ? link.string() : node);
}

// What a slot makes of the boards behind its link, look after look (250 ms apart, as the
// station looks), whether the boards run their boot program already or not.
TEST_P(PortBoardWatchLinks, ANewSerialNumberIsANewBoardAtOnceTheSameOneBackIsNot) {
  Sockets sockets;
  const std::string a = sockets.Node("ttyACM0");
  const std::string b = sockets.Node("ttyACM1");
  const std::string c = sockets.Node("ttyACM2");
  sockets.Board(a, "1-1.2:1.0", "A");
  sockets.Board(b, "1-1.2:1.0", "B");
  const DevInst late = sockets.Board(c, "1-1.2:1.0", "");
  const auto link = sockets.folder.Path("usb-0:1.2:1.0");
  PathPorts ports;
  PortBoardWatch watch(ports, sockets.tree.tree, {link.string()}, GetParam());
  SlotBook book(0, std::nullopt);
  book.AddSlot(link.string(), link.string(), link.string());

  struct Step {
    uint64_t atMs;
    const char* node;  // what the link leads to: a, b, c or nothing
    const char* expect;
    bool serialShows = false;  // c's serial number is read from this look on
  };
  constexpr uint64_t GONE = BOARD_GONE_AFTER_MS;
  const Step steps[] = {
      {0, "a", "arrive1"},
      {250, "a", ""},
      {500, "b", "left1 arrive2"},   // swapped in one move: no wait
      {750, "", ""},                 // B restarts after its download...
      {1000, "b", ""},               // ...and is back within 2 s: the same board
      {1250, "a", "left2 arrive3"},  // a board seen before, but not this slot's last one
      {1500, "", ""},
      {1750, "c", ""},  // no serial number: another board only once away for 2 s
      {2000, "", ""},
      {2000 + GONE - 1, "", ""},
      {2000 + GONE, "", "left3"},
      {2250 + GONE, "c", "arrive4"},        // its serial number is not read on this look...
      {2500 + GONE, "c", "", true},         // ...but on the next
      {2750 + GONE, "a", "left4 arrive5"},  // so the board after it is told apart at once
  };
  for (const Step& step : steps) {
    if (step.serialShows) {
      sockets.tree.tree[late].properties[DeviceProperty::SerialNumber] = Text("C");
    }
    const std::string name = step.node;
    sockets.Point(link, name == "a" ? a : name == "b" ? b : name == "c" ? c : "");
    std::string changes;
    for (const SlotChange& change : book.Look(watch.Look(NONE_IN_USE), step.atMs)) {
      if (!changes.empty()) changes += ' ';
      if (const auto* arrived = std::get_if<BoardArrived>(&change)) {
        changes += "arrive" + std::to_string(arrived->board);
        book.Finish(arrived->position, DeviceOutcome{});  // its run ends before the next look
      } else if (const auto* left = std::get_if<BoardLeft>(&change)) {
        changes += "left" + std::to_string(left->board);
      }
    }
    EXPECT_EQ(changes, step.expect) << "at " << step.atMs << " ms, behind the link: " << name;
  }
}

INSTANTIATE_TEST_SUITE_P(IapOrNot, PortBoardWatchLinks, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "Iap" : "Application";
                         });

TEST(PortBoardWatch, ScansOncePerLookAndOnlyWhenALocalSlotOpensOrRuns) {
  Sockets sockets;
  const std::string a = sockets.Node("ttyACM0");
  const std::string b = sockets.Node("ttyACM1");
  sockets.Board(a, "1-1.1:1.0", "A");
  sockets.Board(b, "1-1.2:1.0", "B");
  const auto linkA = sockets.folder.Path("slot-a");
  const auto linkB = sockets.folder.Path("slot-b");
  const std::string remote = "rfc2217://fixture-3:4001";
  PathPorts ports;
  testing::FakeDeviceTree& tree = sockets.tree.tree;
  DeviceTable table;
  int before = tree.SetsListed();
  DiscoverSerialDevices(tree, table);
  const int perScan = tree.SetsListed() - before;
  ASSERT_GT(perScan, 0);
  PortBoardWatch watch(ports, tree, {linkA.string(), remote, linkB.string()}, true);

  const auto scansOfALook = [&](const std::function<bool(const std::string&)>& inUse,
                                std::string& seen) {
    const int start = tree.SetsListed();
    seen.clear();
    for (const BoardSighting& board : watch.Look(inUse)) seen += "[" + board.serial + "]";
    return (tree.SetsListed() - start) / perScan;
  };
  std::string seen;
  EXPECT_EQ(scansOfALook(NONE_IN_USE, seen), 0);  // nothing opens
  EXPECT_EQ(seen, "");
  ports.remoteUp.insert(remote);
  EXPECT_EQ(scansOfALook(NONE_IN_USE, seen), 0);  // a remote board has no serial number
  EXPECT_EQ(seen, "[]");
  sockets.Point(linkA, a);
  sockets.Point(linkB, b);
  EXPECT_EQ(scansOfALook(NONE_IN_USE, seen), 1);
  EXPECT_EQ(seen, "[A][][B]");
  // Ports of slots in a run are never opened; their boards are still looked up in the scan.
  const auto localInRun = [&](const std::string& key) { return key != remote; };
  const int opens = ports.opens;
  EXPECT_EQ(scansOfALook(localInRun, seen), 1);
  EXPECT_EQ(seen, "[A][][B]");
  EXPECT_EQ(ports.opens, opens + 1);  // the remote slot's alone
}

// An application whose boot program shows another serial number: the boot program seen in the
// run is the same board after it, and so is the application it restarts into.
TEST(PortBoardWatch, TheBootProgramsOtherSerialNumberSeenInTheRunIsTheSameBoard) {
  Sockets sockets;
  const std::string app = sockets.Node("ttyACM0");
  const std::string boot = sockets.Node("ttyACM1");
  sockets.Board(app, "1-1.2:1.0", "APP-7");
  sockets.Board(boot, "1-1.2:1.0", "BOOT-7");
  const auto link = sockets.folder.Path("usb-0:1.2:1.0");
  PathPorts ports;
  PortBoardWatch watch(ports, sockets.tree.tree, {link.string()}, false);
  SlotBook book(0, std::nullopt);
  book.AddSlot(link.string(), link.string(), link.string());
  const auto inUse = [&](const std::string&) {
    return book.Slots()[0].state == SlotState::Running;
  };
  const auto look = [&](const std::string& node, uint64_t atMs) {
    sockets.Point(link, node);
    return book.Look(watch.Look(inUse), atMs).size();
  };
  EXPECT_EQ(look(app, 0), 1u);     // arrived
  EXPECT_EQ(look(boot, 250), 0u);  // switched by its run
  book.Finish(0, DeviceOutcome{});
  EXPECT_EQ(look(boot, 500), 0u);
  EXPECT_EQ(look("", 750), 0u);  // restarts after its download
  EXPECT_EQ(look(app, 1000), 0u);
  EXPECT_EQ(book.Slots()[0].board, 1u);
}

}  // namespace
}  // namespace iapflash::port_board_watch
