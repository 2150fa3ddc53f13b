#include "discovery/serial_discovery.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tree_builder.h"

namespace iapflash {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::FakeDeviceTree;
using testing::IdList;
using testing::Text;
using testing::TreeBuilder;

constexpr auto SERIAL = DeviceClass::SerialPort;
constexpr auto USB = DeviceClass::UsbDevice;

// One device as "COM5/0 COM6/1 iap0 @Port_#0002.Hub_#0001": ports with interface numbers, the
// boot-program flag and the location.
std::string Describe(const DeviceEntry& device) {
  std::string text;
  for (const PortEntry& port : device.ports) {
    text += port.portName + "/" + std::to_string(port.interfaceNumber) + " ";
  }
  return text + "iap" + std::to_string(int{device.inIapMode}) + " @" + device.locationInfo;
}

// Runs discovery over the tree and checks what every caller relies on besides the result: the
// table holds the devices found and nothing of a previous scan, and every device set was
// released.
std::vector<std::string> Discover(FakeDeviceTree& tree, DeviceTable& table) {
  table.assign(MAX_DEVICES, DeviceEntry{.parentInstance = 0x5A5A});  // a previous scan's leftovers
  const uint8_t count = DiscoverSerialDevices(tree, table);
  EXPECT_EQ(tree.OpenSets(), 0);
  EXPECT_EQ(table.size(), count);
  std::vector<std::string> devices;
  for (const DeviceEntry& device : table) devices.push_back(Describe(device));
  return devices;
}

struct Case {
  const char* name;
  std::function<void(TreeBuilder&)> build;
  std::vector<std::string> expected;
};

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"nothing attached", [](TreeBuilder&) {}, {}},
      {"two interfaces listed in reverse come out by interface number",
       [](TreeBuilder& b) {
         const DevInst parent = b.Composite("6B2D&PID_0A01", "Port_#0002.Hub_#0001");
         b.Interface(parent, "02", "COM6");
         b.Interface(parent, "00", "COM5");
       },
       {"COM5/0 COM6/1 iap0 @Port_#0002.Hub_#0001"}},
      {"interfaces 02 and 03 both give 1 and keep their found order",
       [](TreeBuilder& b) {
         const DevInst parent = b.Composite("6B2D&PID_0A01", "Port_#0002.Hub_#0001");
         b.Interface(parent, "02", "COM3");
         b.Interface(parent, "03", "COM4");
       },
       {"COM3/1 COM4/1 iap0 @Port_#0002.Hub_#0001"}},
      {"numbers 1, 0, 0 end as C, A, B",
       [](TreeBuilder& b) {
         const DevInst parent = b.Composite("7F3C&PID_0A03", "Port_#0001.Hub_#0002");
         b.Interface(parent, "02", "COMA");
         b.Interface(parent, "00", "COMB");
         b.Interface(parent, "01", "COMC");
       },
       {"COMC/0 COMA/1 COMB/0 iap0 @Port_#0001.Hub_#0002"}},
      {"ports of two makers' devices group by parent in the order of their first port",
       [](TreeBuilder& b) {
         const DevInst first = b.Composite("6B2D&PID_0A01", "Port_#0002.Hub_#0001");
         const DevInst second = b.Composite("7F3C&PID_0A01", "Port_#0003.Hub_#0001");
         b.Interface(first, "00", "COM3");
         b.Interface(second, "02", "COM8");
         b.Interface(first, "02", "COM4");
         b.Interface(second, "00", "COM7");
       },
       {"COM3/0 COM4/1 iap0 @Port_#0002.Hub_#0001", "COM7/0 COM8/1 iap0 @Port_#0003.Hub_#0001"}},
      {"the boot program is one port in IAP mode, listed by both classes",
       [](TreeBuilder& b) { b.SingleFunction("7F3C&PID_2C71", "Port_#0004.Hub_#0001", "COM9"); },
       {"COM9/0 iap1 @Port_#0004.Hub_#0001", "COM9/0 iap1 @Port_#0004.Hub_#0001"}},
      {"the same microcontroller running its application is not in IAP mode",
       [](TreeBuilder& b) {
         b.SingleFunction("7F3C&PID_0A02", "Port_#0004.Hub_#0001", "COM9", {SERIAL});
       },
       {"COM9/0 iap0 @"}},
      {"a maker node under a foreign hub stands alone with interface 0",
       [](TreeBuilder& b) {
         const DevInst hub = 50;
         b.tree.Add(hub, TreeBuilder::ROOT_HUB, "USB\\VID_05E3&PID_0610\\6&1&0&1", {});
         b.SingleFunction("7F3C&PID_0A02&MI_02", "Port_#0001.Hub_#0003", "COM4", {SERIAL}, hub);
       },
       {"COM4/0 iap0 @"}},
      {"a port listed by both classes under a maker parent is one device with two copies",
       [](TreeBuilder& b) {
         const DevInst parent = b.Composite("6B2D&PID_0A01", "Port_#0002.Hub_#0001");
         const DevInst port =
             b.SingleFunction("6B2D&PID_0A01&MI_00", "", "COM5", {SERIAL, USB}, parent);
         (void)port;
       },
       {"COM5/0 COM5/0 iap0 @Port_#0002.Hub_#0001"}},
      {"driver services match exactly: usbser yes, USBSER and others no",
       [](TreeBuilder& b) {
         b.Foreign("USB\\VID_0403&PID_6001\\A50285BI", "usbser", "COM11");
         b.Foreign("USB\\VID_0403&PID_6015\\A60285BI", "USBSER", "COM12");
         b.Foreign("ACPI\\PNP0501\\1", "Serial", "COM1");
         b.Foreign("USB\\VID_1A86&PID_7523\\5&1", "KVSERLEG", "COM13");
         b.Foreign("USB\\VID_1A86&PID_7523\\5&2", "usbser2", "COM14");
       },
       {"COM11/0 iap0 @", "COM13/0 iap0 @"}},
      {"a node whose port name or properties cannot be read is skipped",
       [](TreeBuilder& b) {
         const DevInst parent = b.Composite("6B2D&PID_0A01", "Port_#0002.Hub_#0001");
         b.tree[b.Interface(parent, "00", "COM5")].portName.reset();
         b.tree[b.Interface(parent, "02", "COM6")].properties.erase(DeviceProperty::FriendlyName);
         b.tree[b.Interface(parent, "04", "COM7")].failParent = true;
         b.Interface(parent, "06", "COM8");
       },
       {"COM8/3 iap0 @Port_#0002.Hub_#0001"}},
      {"a port name too long for its field is not cut but skipped",
       [](TreeBuilder& b) {
         b.Foreign("USB\\VID_0403&PID_6001\\1", "usbser", std::string(63, 'L'));
         b.Foreign("USB\\VID_0403&PID_6001\\2", "usbser", std::string(64, 'M'));
       },
       {std::string(63, 'L') + "/0 iap0 @"}},
      {"a port name reported with its terminator is read up to it",
       [](TreeBuilder& b) {
         b.Foreign("USB\\VID_0403&PID_6001\\1", "usbser", std::string("COM21\0", 6));
       },
       {"COM21/0 iap0 @"}},
      {"a parent that gives no IDs, description or location leaves them empty",
       [](TreeBuilder& b) {
         const DevInst parent = b.Composite("7F3C&PID_2C71", "Port_#0002.Hub_#0001");
         b.Interface(parent, "00", "COM5");
         b.tree[parent].properties.clear();
       },
       {"COM5/0 iap0 @"}},
  };
  return cases;
}

TEST(DiscoverSerialDevices, BuildsTheExpectedTableForEachTree) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    TreeBuilder builder;
    c.build(builder);
    DeviceTable table;
    EXPECT_THAT(Discover(builder.tree, table), ElementsAreArray(c.expected));
  }
}

TEST(DiscoverSerialDevices, CompletesDevicesFromTheirParentNode) {
  TreeBuilder b;
  const DevInst parent = b.Composite("6B2D&PID_0A01", "Port_#0002.Hub_#0001");
  const DevInst com6 = b.Interface(parent, "02", "COM6");
  const DevInst com5 = b.Interface(parent, "00", "COM5");
  const DevInst boot = b.SingleFunction("7F3C&PID_2C71", "Port_#0004.Hub_#0001", "COM9", {SERIAL});
  DeviceTable table;
  ASSERT_EQ(Discover(b.tree, table).size(), 2u);

  const DeviceEntry& app = table[0];
  EXPECT_EQ(app.parentInstance, parent);
  EXPECT_EQ(app.parentHardwareId, "USB\\VID_6B2D&PID_0A01&REV_0100");
  EXPECT_EQ(app.parentDescription, "USB Composite Device");
  EXPECT_EQ(app.ports[0].deviceInstance, com5);
  EXPECT_EQ(app.ports[1].deviceInstance, com6);
  EXPECT_EQ(app.ports[0].parentInstance, parent) << "the table keeps the real parent";
  EXPECT_EQ(app.ports[0].hardwareId, "USB\\VID_6B2D&PID_0A01&REV_0100&MI_00");
  EXPECT_EQ(app.ports[0].hardwareIdLength,
            b.tree[com5].properties[DeviceProperty::HardwareId].size());
  EXPECT_EQ(app.ports[0].friendlyName, "USB Serial Device (COM5)");

  const DeviceEntry& alone = table[1];
  EXPECT_EQ(alone.parentInstance, boot) << "a port by itself is its own parent";
  EXPECT_EQ(alone.ports[0].parentInstance, 0u);
  EXPECT_TRUE(alone.inIapMode);
  EXPECT_EQ(alone.locationInfo, "") << "not a node of the USB-device class";
}

TEST(DiscoverSerialDevices, FailingToListEitherClassFindsNothing) {
  for (DeviceClass failing : {SERIAL, USB}) {
    TreeBuilder b;
    const DevInst parent = b.Composite("6B2D&PID_0A01", "Port_#0002.Hub_#0001");
    b.Interface(parent, "00", "COM5");
    b.tree.FailClass(failing);
    DeviceTable table;
    EXPECT_THAT(Discover(b.tree, table), ElementsAre());
  }
}

TEST(DiscoverSerialDevices, LongValuesAreCutToTheirFieldWithTheTerminatorKept) {
  TreeBuilder b;
  const DevInst parent = b.Composite("6B2D&PID_0A01", std::string(300, 'L'));
  const DevInst port = b.Interface(parent, "00", "COM5");
  const std::string longId = "USB\\VID_6B2D&PID_0A01&REV_0100&MI_00" + std::string(200, 'X');
  b.tree[port].properties[DeviceProperty::HardwareId] = IdList({longId, std::string(300, 'Y')});
  // A description of multi-byte characters is cut before a character, never inside one.
  std::string description;
  while (description.size() < 200) description += "设备";
  b.tree[parent].properties[DeviceProperty::DeviceDesc] = Text(description);
  b.tree[port].properties[DeviceProperty::FriendlyName] = Text(std::string(400, 'F'));
  DeviceTable table;
  ASSERT_EQ(Discover(b.tree, table).size(), 1u);

  const DeviceEntry& device = table[0];
  EXPECT_EQ(std::string(device.locationInfo), std::string(127, 'L'));
  EXPECT_EQ(std::string(device.ports[0].hardwareId), longId.substr(0, 127));
  EXPECT_EQ(device.ports[0].hardwareIdLength, 256u) << "never more than the system's buffer";
  EXPECT_EQ(device.ports[0].interfaceNumber, 0);
  EXPECT_EQ(std::string(device.ports[0].friendlyName), std::string(255, 'F'));
  EXPECT_EQ(std::string(device.parentDescription), description.substr(0, 126));
}

TEST(DiscoverSerialDevices, SurplusDevicesAndPortsAreLeftOut) {
  // 31 ports of one device fill 16 port slots; gathering stops at 32 ports, so of the three
  // ports alone only the first is taken.
  TreeBuilder many;
  const DevInst parent = many.Composite("6B2D&PID_0A01", "Port_#0002.Hub_#0001");
  for (int i = 0; i < 31; ++i) {
    char mi[3];
    std::snprintf(mi, sizeof mi, "%02X", i * 2);
    many.Interface(parent, mi, "COM" + std::to_string(100 + i));
  }
  for (int i = 0; i < 3; ++i)
    many.Foreign("FTDIBUS\\" + std::to_string(i), "usbser", "COM9" + std::to_string(i));
  DeviceTable table;
  const auto devices = Discover(many.tree, table);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(table[0].ports.size(), MAX_PORTS_PER_DEVICE);
  for (int p = 0; p < 16; ++p) EXPECT_EQ(table[0].ports[p].interfaceNumber, p);
  EXPECT_EQ(table[1].ports[0].portName, "COM90");

  TreeBuilder crowd;
  for (int i = 0; i < 20; ++i)
    crowd.Foreign("FTDIBUS\\" + std::to_string(i), "usbser", "COM" + std::to_string(i));
  EXPECT_EQ(Discover(crowd.tree, table).size(), MAX_DEVICES);
  EXPECT_EQ(table[MAX_DEVICES - 1].ports[0].portName, "COM15");
}

TEST(ReadLocationInfo, FindsOnlyPresentUsbDeviceNodes) {
  TreeBuilder b;
  const DevInst parent = b.Composite("6B2D&PID_0A01", "Port_#0002.Hub_#0001");
  const DevInst port = b.Interface(parent, "00", "COM5");
  std::string text = "untouched";
  EXPECT_FALSE(ReadLocationInfo(b.tree, port, text));
  EXPECT_EQ(text, "untouched");
  EXPECT_TRUE(ReadLocationInfo(b.tree, parent, text));
  EXPECT_EQ(text, "Port_#0002.Hub_#0001");
  b.tree.FailClass(USB);
  EXPECT_FALSE(ReadLocationInfo(b.tree, parent, text));
  EXPECT_EQ(b.tree.OpenSets(), 0);
}

struct IdCase {
  std::string list;
  uint32_t length;
  uint8_t result;
  uint16_t vendor, product, revision;
  uint8_t interfaceNumber;
};

TEST(ParseDeviceId, ReadsTheFirstIdWithARevision) {
  const std::string twoIds =
      IdList({"USB\\VID_6B2D&PID_0A01", "USB\\VID_6B2D&PID_0A01&REV_0100&MI_04"});
  const std::vector<IdCase> cases = {
      {IdList({"USB\\VID_6B2D&PID_0A01&REV_0100&MI_02"}), 38, 1, 0x6B2D, 0x0A01, 0x0100, 1},
      {IdList({"USB\\Vid_7f3c&Pid_2c71&REV_01a0&Mi_0A"}), 38, 1, 0x7F3C, 0x2C71, 0x01A0, 5},
      // "REV" is looked for before the upper-case conversion.
      {IdList({"usb\\vid_7f3c&pid_2c71&rev_0100"}), 32, 0, 0, 0, 0, 0},
      {twoIds, static_cast<uint32_t>(twoIds.size()), 1, 0x6B2D, 0x0A01, 0x0100, 2},
      // The second ID lies beyond the reported length.
      {twoIds, 22, 0, 0, 0, 0, 0},
      {IdList({"USB\\VID_7F3C&PID_2C71&REV_0100"}), 32, 1, 0x7F3C, 0x2C71, 0x0100, 0},
      // "COM_" carries no number that reads as hexadecimal.
      {IdList({"USB\\VID_6B2D&PID_0A01&REV_0100&COM_02"}), 39, 1, 0x6B2D, 0x0A01, 0x0100, 0},
      // A field cut short or holding a non-digit reads as 0.
      {IdList({"USB\\VID_12&PID_0A01&REV_0100&MI_"}), 34, 1, 0, 0x0A01, 0x0100, 0},
  };
  for (const IdCase& c : cases) {
    SCOPED_TRACE(c.list.c_str());
    uint16_t vendor = 99, product = 99, revision = 99;
    uint8_t number = 99;
    EXPECT_EQ(ParseDeviceId(c.list, c.length, &vendor, &product, &revision, &number), c.result);
    EXPECT_EQ(vendor, c.vendor);
    EXPECT_EQ(product, c.product);
    EXPECT_EQ(revision, c.revision);
    EXPECT_EQ(number, c.interfaceNumber);
  }
}

TEST(ParseDeviceId, ShortOrAbsentListLeavesOutputsUntouched) {
  uint8_t number = 7;
  const std::string shortId = IdList({"USB", "USB\\VID_6B2D&PID_0A01&REV_0100&MI_02"});
  EXPECT_EQ(ParseDeviceId(shortId, static_cast<uint32_t>(shortId.size()), nullptr, nullptr, nullptr,
                          &number),
            255);
  EXPECT_EQ(ParseDeviceId({}, 40, nullptr, nullptr, nullptr, &number), 255);
  EXPECT_EQ(number, 7);
}

TEST(ParseDeviceId, StaysWithinTheTextTheCallerHolds) {
  // No terminator anywhere and a reported length far beyond the text.
  const std::string unterminated = "USB\\VID_6B2D&PID_0A01&MI_02";
  uint8_t number = 7;
  EXPECT_EQ(ParseDeviceId(unterminated, 4096, nullptr, nullptr, nullptr, &number), 0);
  EXPECT_EQ(number, 0);
}

TEST(ParseHexText, ReadsUpToFourDigitsInEitherCase) {
  EXPECT_EQ(ParseHexText("7F3C"), 0x7F3Cu);
  EXPECT_EQ(ParseHexText("7f3c"), 0x7F3Cu);
  EXPECT_EQ(ParseHexText("0A"), 10u);
  EXPECT_EQ(ParseHexText("7G"), 0u);
  EXPECT_EQ(ParseHexText("&0"), 0u);
  EXPECT_EQ(ParseHexText(""), 0u);
}

}  // namespace
}  // namespace iapflash
