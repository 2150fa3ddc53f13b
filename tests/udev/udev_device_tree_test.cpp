#include "platform/posix/udev_device_tree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <umockdev.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "discovery/serial_discovery.h"
#include "link/mode_switch.h"

namespace iapflash {
namespace {

using ::testing::ElementsAreArray;

const std::string kDevices = UDEV_DEVICES_DIR;
const std::string kHub = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
const std::string kAppDevice = kHub + "/1-1.2";

// What the tree tells of one node; "-" stands for a query that fails.
struct NodeReport {
  std::string instanceId;
  std::string hardwareIds;  // the list with its NULs shown as '|'
  std::string service;
  std::string friendlyName;
  std::string location;
  std::string description;
  std::string portName;
  std::string parentId;

  bool operator==(const NodeReport&) const = default;
};

void PrintTo(const NodeReport& r, std::ostream* os) {
  *os << "{" << r.instanceId << ", " << r.hardwareIds << ", " << r.service << ", " << r.friendlyName
      << ", " << r.location << ", " << r.description << ", " << r.portName << ", " << r.parentId
      << "}";
}

std::string Shown(std::string value) {
  for (char& c : value) {
    if (c == '\0') {
      c = '|';
    }
  }
  return value;
}

class UdevTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testbed_ = umockdev_testbed_new();
    ASSERT_TRUE(umockdev_in_mock_environment())
        << "run this suite under umockdev-wrapper (ctest does), or libudev sees the real /sys";
    Load("bench.umockdev");
    tree_ = MakeUdevDeviceTree();
    ASSERT_NE(tree_, nullptr);
  }

  void TearDown() override {
    tree_.reset();
    if (testbed_ != nullptr) {
      g_object_unref(testbed_);
    }
  }

  void Load(const std::string& name) {
    GError* error = nullptr;
    const bool loaded =
        umockdev_testbed_add_from_file(testbed_, (kDevices + "/" + name).c_str(), &error);
    const std::string why = error != nullptr ? error->message : "";
    g_clear_error(&error);
    ASSERT_TRUE(loaded) << name << ": " << why;
  }

  std::vector<DevInst> Members(DeviceClass deviceClass) {
    std::vector<DevInst> nodes;
    std::unique_ptr<DeviceSet> set = tree_->Present(deviceClass);
    EXPECT_NE(set, nullptr);
    DevInst node = 0;
    for (uint32_t i = 0; set != nullptr && set->Member(i, node); ++i) {
      nodes.push_back(node);
    }
    return nodes;
  }

  std::string Property(DevInst node, DeviceProperty property) {
    std::string value;
    return tree_->NodeProperty(node, property, value) ? Shown(value) : "-";
  }

  std::string Id(DevInst node) {
    std::string id;
    return tree_->InstanceId(node, id) ? id : "-";
  }

  // PortName is asked of a set member, as discovery and the mode switch do.
  std::map<DevInst, std::string> PortNames(DeviceClass deviceClass) {
    std::map<DevInst, std::string> names;
    std::unique_ptr<DeviceSet> set = tree_->Present(deviceClass);
    DevInst node = 0;
    for (uint32_t i = 0; set != nullptr && set->Member(i, node); ++i) {
      std::string name;
      names[node] = set->PortName(i, name) ? name : "-";
    }
    return names;
  }

  std::vector<NodeReport> Reports(DeviceClass deviceClass) {
    const std::map<DevInst, std::string> ports = PortNames(deviceClass);
    std::vector<NodeReport> reports;
    for (DevInst node : Members(deviceClass)) {
      DevInst parent = 0;
      reports.push_back({Id(node), Property(node, DeviceProperty::HardwareId),
                         Property(node, DeviceProperty::Service),
                         Property(node, DeviceProperty::FriendlyName),
                         Property(node, DeviceProperty::LocationInformation),
                         Property(node, DeviceProperty::DeviceDesc), ports.at(node),
                         tree_->Parent(node, parent) ? Id(parent) : "-"});
    }
    return reports;
  }

  DevInst UsbNodeAt(const std::string& location) {
    for (DevInst node : Members(DeviceClass::UsbDevice)) {
      if (Property(node, DeviceProperty::LocationInformation) == location + "|") {
        return node;
      }
    }
    return 0;
  }

  UMockdevTestbed* testbed_ = nullptr;
  std::unique_ptr<DeviceTree> tree_;
};

TEST_F(UdevTreeTest, SerialPortsAreTheHardwareTtysInTheWindowsShape) {
  const std::vector<NodeReport> expected = {
      // The maker's device with two CDC ports: interface 00 carries ttyACM1, 02 ttyACM0.
      {"USB\\VID_6B2D&PID_0A10&MI_00\\1-1.2:1.0",
       "USB\\VID_6B2D&PID_0A10&REV_0210&MI_00|USB\\VID_6B2D&PID_0A10&MI_00||", "usbser|",
       "Motor Controller (ttyACM1)|", "1-1.2:1.0|", "Motor Controller|", "ttyACM1",
       "USB\\VID_6B2D&PID_0A10\\MC0001A"},
      {"USB\\VID_6B2D&PID_0A10&MI_02\\1-1.2:1.2",
       "USB\\VID_6B2D&PID_0A10&REV_0210&MI_02|USB\\VID_6B2D&PID_0A10&MI_02||", "usbser|",
       "Motor Controller (ttyACM0)|", "1-1.2:1.2|", "Motor Controller|", "ttyACM0",
       "USB\\VID_6B2D&PID_0A10\\MC0001A"},
      // The boot program: no serial number, so its device's ID carries the bus path.
      {"USB\\VID_7F3C&PID_2C71&MI_00\\1-1.3:1.0",
       "USB\\VID_7F3C&PID_2C71&REV_0100&MI_00|USB\\VID_7F3C&PID_2C71&MI_00||", "usbser|",
       "IAP Boot (ttyACM2)|", "1-1.3:1.0|", "IAP Boot|", "ttyACM2",
       "USB\\VID_7F3C&PID_2C71\\1-1.3"},
      // A foreign CDC device whose serial number holds a blank, unusable in an ID.
      {"USB\\VID_3A91&PID_0051&MI_00\\1-4:1.0",
       "USB\\VID_3A91&PID_0051&REV_0100&MI_00|USB\\VID_3A91&PID_0051&MI_00||", "usbser|",
       "Data Logger (ttyACM3)|", "1-4:1.0|", "Data Logger|", "ttyACM3",
       "USB\\VID_3A91&PID_0051\\1-4"},
      // A USB-serial converter: the port sits below a usb-serial node; the service is the
      // interface's driver.
      {"USB\\VID_4C2A&PID_6015&MI_00\\1-5:1.0",
       "USB\\VID_4C2A&PID_6015&REV_1000&MI_00|USB\\VID_4C2A&PID_6015&MI_00||", "ftdi_sio|",
       "Serial Adapter (ttyUSB0)|", "1-5:1.0|", "Serial Adapter|", "ttyUSB0",
       "USB\\VID_4C2A&PID_6015\\SA19C001"},
      // A port off USB: no hardware IDs or location; its service is the first driver above it.
      {"TTY\\TTYS0", "-", "serial8250|", "Serial Port (ttyS0)|", "-", "Serial Port|", "ttyS0",
       "PLATFORM\\SERIAL8250"},
  };
  EXPECT_THAT(Reports(DeviceClass::SerialPort), ElementsAreArray(expected))
      << "the virtual tty0 is never listed";
}

TEST_F(UdevTreeTest, UsbDevicesCarryAPortNameOnlyWithExactlyOneTtyOfTheirOwn) {
  const std::vector<NodeReport> expected = {
      {"USB\\VID_1D6B&PID_0002\\0000:00:14.0",
       "USB\\VID_1D6B&PID_0002&REV_0601|USB\\VID_1D6B&PID_0002||", "usb|", "xHCI Host Controller|",
       "usb1|", "xHCI Host Controller|", "-", "-"},
      // The hub has one tty (the boot program's) below it, but not its own: no PortName.
      {"USB\\VID_5A11&PID_4B20\\1-1", "USB\\VID_5A11&PID_4B20&REV_0100|USB\\VID_5A11&PID_4B20||",
       "usb|", "USB2.0 Hub|", "1-1|", "USB2.0 Hub|", "-", "USB\\VID_1D6B&PID_0002\\0000:00:14.0"},
      {"USB\\VID_6B2D&PID_0A10\\MC0001A",
       "USB\\VID_6B2D&PID_0A10&REV_0210|USB\\VID_6B2D&PID_0A10||", "usb|", "Motor Controller|",
       "1-1.2|", "Motor Controller|", "-", "USB\\VID_5A11&PID_4B20\\1-1"},
      {"USB\\VID_7F3C&PID_2C71\\1-1.3", "USB\\VID_7F3C&PID_2C71&REV_0100|USB\\VID_7F3C&PID_2C71||",
       "usb|", "IAP Boot (ttyACM2)|", "1-1.3|", "IAP Boot|", "ttyACM2",
       "USB\\VID_5A11&PID_4B20\\1-1"},
      {"USB\\VID_3A91&PID_0051\\1-4", "USB\\VID_3A91&PID_0051&REV_0100|USB\\VID_3A91&PID_0051||",
       "usb|", "Data Logger (ttyACM3)|", "1-4|", "Data Logger|", "ttyACM3",
       "USB\\VID_1D6B&PID_0002\\0000:00:14.0"},
      {"USB\\VID_4C2A&PID_6015\\SA19C001",
       "USB\\VID_4C2A&PID_6015&REV_1000|USB\\VID_4C2A&PID_6015||", "usb|",
       "Serial Adapter (ttyUSB0)|", "1-5|", "Serial Adapter|", "ttyUSB0",
       "USB\\VID_1D6B&PID_0002\\0000:00:14.0"},
  };
  EXPECT_THAT(Reports(DeviceClass::UsbDevice), ElementsAreArray(expected))
      << "interfaces and the controller are not USB devices";
}

TEST_F(UdevTreeTest, HandlesAreNonZeroDistinctAndStableAcrossQueries) {
  const std::vector<DevInst> ports = Members(DeviceClass::SerialPort);
  const std::vector<DevInst> usb = Members(DeviceClass::UsbDevice);
  std::vector<DevInst> all = ports;
  all.insert(all.end(), usb.begin(), usb.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "two nodes share a handle";
  EXPECT_NE(all.front(), 0u);

  EXPECT_EQ(Members(DeviceClass::SerialPort), ports);
  EXPECT_EQ(Members(DeviceClass::UsbDevice), usb);
  // A tty's parent is the very node that the USB-device class lists.
  DevInst parent = 0;
  ASSERT_TRUE(tree_->Parent(ports.front(), parent));
  EXPECT_EQ(parent, UsbNodeAt("1-1.2"));
}

TEST_F(UdevTreeTest, UnknownHandlesAndMembersPastTheEndFail) {
  std::string value;
  DevInst parent = 0;
  for (DevInst node : {DevInst{0}, DevInst{0xFFFF}, DevInst{0xFFFFFFFF}}) {
    EXPECT_FALSE(tree_->InstanceId(node, value)) << node;
    EXPECT_FALSE(tree_->Parent(node, parent)) << node;
    EXPECT_FALSE(tree_->NodeProperty(node, DeviceProperty::HardwareId, value)) << node;
  }
  std::unique_ptr<DeviceSet> set = tree_->Present(DeviceClass::UsbDevice);
  ASSERT_NE(set, nullptr);
  const auto count = static_cast<uint32_t>(Members(DeviceClass::UsbDevice).size());
  DevInst node = 0;
  EXPECT_FALSE(set->Member(count, node));
  EXPECT_FALSE(set->PortName(count, value));
  EXPECT_FALSE(set->Property(count, DeviceProperty::Service, value));
}

TEST_F(UdevTreeTest, MachineWithoutDevicesListsEmptyClasses) {
  umockdev_testbed_clear(testbed_);
  tree_ = MakeUdevDeviceTree();
  for (DeviceClass deviceClass : {DeviceClass::SerialPort, DeviceClass::UsbDevice}) {
    std::unique_ptr<DeviceSet> set = tree_->Present(deviceClass);
    ASSERT_NE(set, nullptr) << "an empty bus is no failure to list";
    DevInst node = 0;
    EXPECT_FALSE(set->Member(0, node));
  }
}

// The application device leaves 1-1.2 and comes back there as the boot program: the same tree
// object (as the mode switch's repeated searches use it) sees the new device at the same place.
TEST_F(UdevTreeTest, DeviceThatReEnumeratesIsSeenAfreshAtTheSameLocation) {
  const DevInst before = UsbNodeAt("1-1.2");
  ASSERT_NE(before, 0u);
  const std::vector<DevInst> oldPorts = Members(DeviceClass::SerialPort);

  // Children first: removing a device leaves its children's bus links behind.
  for (const char* child : {"/1-1.2:1.0/tty/ttyACM1", "/1-1.2:1.2/tty/ttyACM0", "/1-1.2:1.0",
                            "/1-1.2:1.1", "/1-1.2:1.2", "/1-1.2:1.3", ""}) {
    umockdev_testbed_remove_device(testbed_, (kAppDevice + child).c_str());
  }
  EXPECT_EQ(UsbNodeAt("1-1.2"), 0u);
  std::string value;
  EXPECT_FALSE(tree_->InstanceId(oldPorts.front(), value)) << "a vanished node reads as gone";

  Load("boot_at_1-1.2.umockdev");
  const DevInst after = UsbNodeAt("1-1.2");
  EXPECT_EQ(after, before) << "a place on the bus keeps its handle";
  EXPECT_EQ(Id(after), "USB\\VID_7F3C&PID_2C71\\1-1.2");
  std::string port;
  std::unique_ptr<DeviceSet> set = tree_->Present(DeviceClass::UsbDevice);
  const std::vector<DevInst> usb = Members(DeviceClass::UsbDevice);
  const auto index = static_cast<uint32_t>(std::find(usb.begin(), usb.end(), after) - usb.begin());
  ASSERT_TRUE(set->PortName(index, port));
  EXPECT_EQ(port, "ttyACM4");

  EXPECT_EQ(FindIapPort(*tree_, "1-1.2"), "ttyACM4") << "the mode switch finds it where it was";
}

// The search for a boot program takes only the one at the saved location, and only by its IDs.
TEST_F(UdevTreeTest, BootProgramIsFoundOnlyAtItsOwnLocation) {
  struct Case {
    const char* location;
    const char* port;  // null: not found
  };
  for (const Case& c : {Case{"1-1.3", "ttyACM2"}, Case{"1-1.2", nullptr}, Case{"1-1", nullptr},
                        Case{"1-1.3:1.0", nullptr}, Case{"", nullptr}}) {
    SCOPED_TRACE(c.location);
    EXPECT_EQ(FindIapPort(*tree_, c.location),
              c.port ? std::optional<std::string>(c.port) : std::nullopt);
  }
}

// A scan on the window's thread and a search for the boot program on the download worker may
// share the system tree.
TEST_F(UdevTreeTest, TwoThreadsShareOneTree) {
  DeviceTree& tree = *tree_;  // fresh: both threads add its handles
  std::vector<std::string> seen[2];
  auto walk = [&tree](std::vector<std::string>& ids) {
    for (int round = 0; round < 5; ++round) {
      for (DeviceClass deviceClass : {DeviceClass::SerialPort, DeviceClass::UsbDevice}) {
        std::unique_ptr<DeviceSet> set = tree.Present(deviceClass);
        DevInst node = 0;
        for (uint32_t i = 0; set != nullptr && set->Member(i, node); ++i) {
          std::string id;
          std::string port;
          DevInst parent = 0;
          if (tree.InstanceId(node, id) && tree.Parent(node, parent) &&
              tree.InstanceId(parent, id)) {
            ids.push_back(id);
          }
          if (set->PortName(i, port)) {
            ids.push_back(port);
          }
        }
      }
    }
  };
  std::thread other(walk, std::ref(seen[0]));
  walk(seen[1]);
  other.join();
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(seen[0].size(), 5u * (6 + 6 + 5 + 3)) << "ids of nodes with a parent, and port names";
}

TEST_F(UdevTreeTest, DiscoveryListsTheMakersDevicesAndTheForeignCdcPortButNotTheConverter) {
  DeviceTable table{};
  ASSERT_EQ(DiscoverSerialDevices(*tree_, table), 4);

  struct Expected {
    std::vector<std::string> ports;
    bool inIapMode;
    std::string location;
    std::string parentHardwareId;
    std::string description;
  };
  const std::vector<Expected> expected = {
      {{"ttyACM1", "ttyACM0"}, 0, "1-1.2", "USB\\VID_6B2D&PID_0A10&REV_0210", "Motor Controller"},
      {{"ttyACM2"}, 1, "1-1.3", "USB\\VID_7F3C&PID_2C71&REV_0100", "IAP Boot"},
      // A port that stands alone is its own parent, which is no USB device: no location.
      {{"ttyACM3"}, 0, "", "USB\\VID_3A91&PID_0051&REV_0100&MI_00", "Data Logger"},
      // The boot program's USB device has a PortName, so the second pass takes it again.
      {{"ttyACM2"}, 1, "1-1.3", "USB\\VID_7F3C&PID_2C71&REV_0100", "IAP Boot"},
  };
  for (std::size_t d = 0; d < expected.size(); ++d) {
    SCOPED_TRACE("device " + std::to_string(d));
    const DeviceEntry& entry = table[d];
    std::vector<std::string> ports;
    for (const PortEntry& port : entry.ports) ports.push_back(port.portName);
    EXPECT_EQ(ports, expected[d].ports);
    EXPECT_EQ(entry.inIapMode, expected[d].inIapMode);
    EXPECT_EQ(entry.locationInfo, expected[d].location);
    EXPECT_EQ(entry.parentHardwareId, expected[d].parentHardwareId);
    EXPECT_EQ(entry.parentDescription, expected[d].description);
  }
  EXPECT_EQ(table[0].ports[0].interfaceNumber, 0);
  EXPECT_EQ(table[0].ports[1].interfaceNumber, 1);
  EXPECT_EQ(table[1].parentInstance, table[3].parentInstance) << "both name the boot device";
}

}  // namespace
}  // namespace iapflash

// gcc names the sanitizers with macros, clang with __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define UDEV_TESTS_UNDER_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define UDEV_TESTS_UNDER_TSAN 1
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UDEV_TESTS_UNDER_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define UDEV_TESTS_UNDER_TSAN 1
#endif
#endif

#if defined(UDEV_TESTS_UNDER_ASAN)
// umockdev-wrapper preloads umockdev's library ahead of the ASan runtime, which ASan refuses by
// default; the order is harmless here, as the runtime still intercepts every allocation.
extern "C" const char* __asan_default_options() {
  return "verify_asan_link_order=0";
}
#endif

#if defined(UDEV_TESTS_UNDER_TSAN)
// umockdev's testbed keeps a worker thread that it synchronises with GLib's futex-based locks,
// which ThreadSanitizer cannot see (neither library is instrumented): its reports about the
// testbed's own memory are false. Races in our code are still reported.
// Its preload library maps each path into the testbed in one static buffer under a lock that
// ThreadSanitizer does not see either. libudev draws a fresh key for each hash table it makes into
// one static buffer (getrandom), unlocked, from whichever thread uses it; each table keeps its own
// copy, so two threads with udev objects of their own (the monitor, a scan) only mix random bytes.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libumockdev.so\nrace:libumockdev-preload.so\nrace:libglib-2.0.so\n"
         "race:getrandom\n";
}
#endif
