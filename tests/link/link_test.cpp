#include "link/link.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "discovery/device_scan.h"
#include "link_fixture.h"
#include "sim/sim_bus.h"

namespace iapflash {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::LastErrorLines;
using testing::ScriptedPort;
using testing::SimStationTest;

using LinkTest = SimStationTest;

TEST_F(LinkTest, OpenAppliesTheDownloadSettingsAndCloseReleasesThePort) {
  LinkHandle link = LinkOpen(station);
  ASSERT_NE(link, LINK_INVALID);
  const SimPortRecord open = ports.Record("SIM7");
  EXPECT_TRUE(open.open);
  EXPECT_EQ(open.inputQueue, 8192u);
  EXPECT_EQ(open.outputQueue, 8192u);
  EXPECT_EQ(open.timeouts.readInterval, 0u);
  EXPECT_EQ(open.timeouts.readMultiplier, 1000u);
  EXPECT_EQ(open.timeouts.readConstant, 2000u);
  EXPECT_EQ(open.timeouts.writeMultiplier, 50u);
  EXPECT_EQ(open.timeouts.writeConstant, 500u);
  EXPECT_EQ(open.purges, 1u);
  EXPECT_EQ(open.line.baudRate, 115200u);
  EXPECT_EQ(open.line.byteSize, 8);
  EXPECT_EQ(open.line.parity, NO_PARITY);
  EXPECT_EQ(open.line.stopBits, ONE_STOP_BIT);
  EXPECT_EQ(device->BytesReceived(), 0u) << "a device in IAP mode gets no mode-switch traffic";

  LinkClose(station, link);
  EXPECT_EQ(link, LINK_INVALID);
  EXPECT_FALSE(ports.Record("SIM7").open);
  EXPECT_THAT(panel.Lines(), ElementsAre("    SIM7打开成功", "    已关闭。"));
}

TEST_F(LinkTest, OpenWithoutAValidSelectionOpensNothing) {
  for (const int selected : {-1, 1, 15, 16, 1000}) {
    panel.ClearLog();
    panel.Select(selected);
    EXPECT_EQ(LinkOpen(station), LINK_INVALID) << selected;
    EXPECT_THAT(panel.Lines(), ElementsAre("    没有选择下载设备")) << selected;
  }
  EXPECT_EQ(ports.Record("SIM7").opens, 0u);
}

TEST_F(LinkTest, OpenOfAMissingPortLogsTheSystemError) {
  AddDevice("SIM9", true);
  panel.Select(1);
  EXPECT_EQ(LinkOpen(station), LINK_INVALID);
  std::vector<std::string> expected = {"    SIM9打开失败"};
  for (const auto& line : LastErrorLines("打开串口:", SIM_ERROR_NO_PORT)) expected.push_back(line);
  EXPECT_THAT(panel.Lines(), ElementsAreArray(expected));
  EXPECT_TRUE(panel.Lines()[1].starts_with("打开串口::Last Err(2)")) << panel.Lines()[1];
}

TEST_F(LinkTest, OpenOfAPortInUseFails) {
  LinkHandle first = LinkOpen(station);
  ASSERT_NE(first, LINK_INVALID);
  panel.ClearLog();
  EXPECT_EQ(LinkOpen(station), LINK_INVALID);
  EXPECT_EQ(panel.Lines().at(0), "    SIM7打开失败");
}

TEST_F(LinkTest, DeviceInApplicationModeIsSwitchedFirstAndAFailedSwitchEndsTheOpen) {
  // Nothing answers at APP3, so the switch fails whatever it tries.
  AddDevice("APP3", false);
  panel.Select(1);
  EXPECT_EQ(LinkOpen(station), LINK_INVALID);
  const auto lines = panel.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "    失败.");
  EXPECT_EQ(ports.Record("SIM7").opens, 0u);
}

TEST_F(LinkTest, CloseOfAnInvalidLinkOnlySaysSo) {
  LinkHandle link = LINK_INVALID;
  LinkClose(station, link);
  EXPECT_THAT(panel.Lines(), ElementsAre("    下载接口未打开，无需关闭"));
}

TEST_F(LinkTest, WriteFramesThePayloadWithItsByteSum) {
  LinkHandle link = LinkOpen(station);
  const uint8_t reset[] = {0x06, 0x00};
  uint32_t length = sizeof reset;
  EXPECT_TRUE(LinkWrite(station, link, reset, length));
  EXPECT_EQ(length, 5u);

  // Fourteen bytes whose sum (0x633) wraps past 256.
  const uint8_t start[] = {0x02, 0x0C, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x2A, 0, 0, 0, 0};
  length = sizeof start;
  EXPECT_TRUE(LinkWrite(station, link, start, length));
  EXPECT_EQ(length, 17u);

  const auto frames = Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_THAT(frames[0], ElementsAre(0x57, 0xAB, 0x06, 0x00, 0x06));
  EXPECT_THAT(frames[1], ElementsAre(0x57, 0xAB, 0x02, 0x0C, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                     0x01, 0x2A, 0, 0, 0, 0, 0x33));
  EXPECT_TRUE(device->Commands()[1].frameChecksumOk);
}

TEST_F(LinkTest, WriteFailuresAreLoggedExceptForTheResetPacket) {
  auto port = std::make_unique<ScriptedPort>();
  ScriptedPort& scripted = *port;
  const LinkHandle link = std::move(port);
  const uint8_t start[14] = {0x02, 0x0C};
  const uint8_t reset[] = {0x06, 0x00};

  scripted.writeResult = IoResult{false, 0, SIM_ERROR_DISCONNECTED};
  uint32_t length = sizeof start;
  EXPECT_FALSE(LinkWrite(station, link, start, length));
  EXPECT_EQ(length, 0u);
  length = sizeof reset;
  EXPECT_FALSE(LinkWrite(station, link, reset, length));
  EXPECT_EQ(length, 0u);
  std::vector<std::string> expected = LastErrorLines("WriteFile", SIM_ERROR_DISCONNECTED);
  expected.push_back("    串口写失败");
  EXPECT_THAT(panel.Lines(), ElementsAreArray(expected));

  panel.ClearLog();
  scripted.writeResult = IoResult{true, 10, 0};
  length = sizeof start;
  EXPECT_FALSE(LinkWrite(station, link, start, length));
  EXPECT_EQ(length, 10u);
  EXPECT_THAT(panel.Lines(), ElementsAre("    串口写超时(10-14)"));
  EXPECT_EQ(scripted.purges, 3) << "every write purges first";
}

struct ReplyCase {
  const char* name;
  std::vector<uint8_t> bytes;
  bool readOk;
  bool accepted;
  uint8_t status;
  uint32_t length;
  std::vector<std::string> lines;
};

TEST_F(LinkTest, ReplyValidation) {
  const ReplyCase cases[] = {
      {"good", {0x57, 0xAB, 0x82, 0x00, 0x00, 0x00}, true, true, 0x00, 6, {}},
      {"offsets 3 and 5 ignored", {0x57, 0xAB, 0x82, 0xEE, 0x00, 0x99}, true, true, 0x00, 6, {}},
      {"device error status", {0x57, 0xAB, 0x82, 0x00, 0x0A, 0x00}, true, true, 0x0A, 6, {}},
      {"echo of another command", {0x57, 0xAB, 0x83, 0x00, 0x00, 0x00}, true, false, 0x77, 6, {}},
      {"echo without bit 7", {0x57, 0xAB, 0x02, 0x00, 0x00, 0x00}, true, false, 0x77, 6, {}},
      {"bad first byte", {0x56, 0xAB, 0x82, 0x00, 0x00, 0x00}, true, false, 0x77, 6, {}},
      {"bad second byte", {0x57, 0xBA, 0x82, 0x00, 0x00, 0x00}, true, false, 0x77, 6, {}},
      {"five bytes",
       {0x57, 0xAB, 0x82, 0x00, 0x00},
       true,
       false,
       0x77,
       5,
       {"    串口读操作返回长度错误(5-6-0)."}},
      {"nothing", {}, true, false, 0x77, 0, {"    串口读操作返回长度错误(0-6-0)."}},
      {"read call failed", {}, false, false, 0x77, 0, {"    串口读失败."}},
  };
  for (const auto& c : cases) {
    for (const bool wait : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (wait ? " (wait)" : ""));
      auto port = std::make_unique<ScriptedPort>();
      port->reads.push_back(
          {IoResult{c.readOk, 0, c.readOk ? 0u : SIM_ERROR_DISCONNECTED}, c.bytes});
      if (wait && c.bytes.size() < 6) continue;  // the wait never reads an incomplete reply
      const LinkHandle link = std::move(port);
      panel.ClearLog();
      uint8_t status = 0x77;
      uint32_t length = 1234;
      const bool accepted = wait ? LinkReadStatusWait(station, link, 2, status, length, 10000)
                                 : LinkReadStatus(station, link, 2, status, length);
      EXPECT_EQ(accepted, c.accepted);
      EXPECT_EQ(status, c.status);
      EXPECT_EQ(length, c.length);
      EXPECT_THAT(panel.Lines(), ElementsAreArray(c.lines));
      EXPECT_TRUE(clock.Sleeps().empty()) << "a reply already queued needs no wait";
    }
  }
}

TEST_F(LinkTest, WaitForASilentDeviceGivesUpAfterTwentyOneDots) {
  LinkHandle link = LinkOpen(station);
  panel.ClearLog();
  const uint64_t before = clock.NowMs();
  uint8_t status = 0x77;
  uint32_t length = 0;
  EXPECT_FALSE(LinkReadStatusWait(station, link, 2, status, length, 10000));
  EXPECT_EQ(panel.Log(), std::string(21, '.'));
  EXPECT_EQ(clock.NowMs() - before, 10500u);
  EXPECT_EQ(clock.Sleeps(), std::vector<uint32_t>(21, 500));
  EXPECT_EQ(length, 6u);
  EXPECT_EQ(status, 0x77);
}

TEST_F(LinkTest, WaitEndsWithTheDotsOfASlowReply) {
  Fault("slow-start:3000");
  LinkHandle link = LinkOpen(station);
  panel.ClearLog();
  const uint8_t start[14] = {0x02, 0x0C};
  uint32_t length = sizeof start;
  ASSERT_TRUE(LinkWrite(station, link, start, length));
  uint8_t status = 0x77;
  EXPECT_TRUE(LinkReadStatusWait(station, link, 2, status, length, 10000));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(panel.Log(), "......");
}

TEST_F(LinkTest, BytesBeyondTheReplyAreLeftForThePurgeOfTheNextWrite) {
  LinkHandle link = LinkOpen(station);
  const uint8_t start[14] = {0x02, 0x0C};
  uint32_t length = sizeof start;
  ASSERT_TRUE(LinkWrite(station, link, start, length));
  device->Receive(Frames()[0], std::chrono::milliseconds(clock.NowMs()));  // a second reply
  uint32_t queued = 0;
  ASSERT_TRUE(link->QueuedInput(queued));
  EXPECT_EQ(queued, 12u);

  uint8_t status = 0x77;
  EXPECT_TRUE(LinkReadStatus(station, link, 2, status, length));
  ASSERT_TRUE(link->QueuedInput(queued));
  EXPECT_EQ(queued, 6u);
  length = sizeof start;
  ASSERT_TRUE(LinkWrite(station, link, start, length));
  ASSERT_TRUE(link->QueuedInput(queued));
  EXPECT_EQ(queued, 6u) << "only the new command's reply is left";
}

TEST(LinkOpenOnABus, ApplicationDeviceIsSwitchedAndItsBootPortOpened) {
  testing::VirtualClock clock;
  testing::RecordingPanel panel;
  const auto bus = MakeSimulatedBus("demo", clock);
  ASSERT_NE(bus, nullptr);
  Station station{bus->Ports(), bus->Tree(), clock, panel};
  ASSERT_GE(ScanDevices(station), 1);
  ASSERT_EQ(std::string(station.devices[0].ports[0].portName), "COM5");
  ASSERT_EQ(station.devices[0].inIapMode, 0u);
  panel.Select(0);
  panel.ClearLog();

  LinkHandle link = LinkOpen(station);
  ASSERT_NE(link, LINK_INVALID) << panel.Log();
  EXPECT_EQ(panel.Lines().back(), "    COM9打开成功");
  ASSERT_NE(bus->BootProgram("COM9"), nullptr);
  uint32_t length = 2;
  const uint8_t reset[] = {0x06, 0x00};
  EXPECT_TRUE(LinkWrite(station, link, reset, length));
  EXPECT_TRUE(bus->BootProgram("COM9")->ResetReceived()) << "the link reaches the boot program";
}

}  // namespace
}  // namespace iapflash
