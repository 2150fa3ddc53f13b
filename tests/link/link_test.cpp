#include "link/link.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "discovery/serial_discovery.h"
#include "link_fixture.h"
#include "sim/sim_bus.h"

namespace iapflash {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using testing::LastErrorLines;
using testing::OnePortDevice;
using testing::ScriptedPort;
using testing::SimStationTest;

using LinkTest = SimStationTest;

constexpr uint8_t START[14] = {0x02, 0x0C};

TEST_F(LinkTest, OpenAppliesTheDownloadSettingsAndCloseReleasesThePort) {
  std::optional<Link> link = OpenSim7();
  ASSERT_TRUE(link);
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
  EXPECT_THAT(events.Events(), ElementsAre(RunEvent{PortOpened{"SIM7", PortRole::Download}}));

  LinkClose(panel, link);
  EXPECT_FALSE(link);
  EXPECT_FALSE(ports.Record("SIM7").open);
  EXPECT_THAT(panel.Lines(), ElementsAre("    SIM7打开成功", "    已关闭。"));
}

TEST_F(LinkTest, LinkClosesItsPortWhenItGoes) {
  { std::optional<Link> link = OpenSim7(); }
  EXPECT_FALSE(ports.Record("SIM7").open);
  EXPECT_TRUE(OpenSim7()) << "the port is free again";
}

TEST_F(LinkTest, OpenOfAMissingPortLogsTheSystemError) {
  const LinkOpening opening = LinkOpen(env, OnePortDevice("SIM9", true));
  EXPECT_FALSE(opening.link);
  EXPECT_EQ(opening.failure, FailureLayer::Port);
  std::vector<std::string> expected = {"    SIM9打开失败"};
  for (const auto& line : LastErrorLines("打开串口:", SIM_ERROR_NO_PORT)) expected.push_back(line);
  EXPECT_THAT(panel.Lines(), ElementsAreArray(expected));
  EXPECT_TRUE(panel.Lines()[1].starts_with("打开串口::Last Err(2)")) << panel.Lines()[1];
  EXPECT_TRUE(events.Events().empty());
}

TEST_F(LinkTest, OpenOfAPortInUseFails) {
  std::optional<Link> first = OpenSim7();
  ASSERT_TRUE(first);
  panel.ClearLog();
  const LinkOpening second = LinkOpen(env, sim7);
  EXPECT_FALSE(second.link);
  EXPECT_EQ(second.failure, FailureLayer::Port);
  EXPECT_EQ(panel.Lines().at(0), "    SIM7打开失败");
}

TEST_F(LinkTest, DeviceInApplicationModeIsSwitchedFirstAndAFailedSwitchEndsTheOpen) {
  // Nothing answers at APP3, so the switch fails whatever it tries.
  const LinkOpening opening = LinkOpen(env, OnePortDevice("APP3", false));
  EXPECT_FALSE(opening.link);
  EXPECT_EQ(opening.failure, FailureLayer::ModeSwitch);
  const auto lines = panel.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "    失败.");
  EXPECT_EQ(ports.Record("SIM7").opens, 0u);
}

TEST_F(LinkTest, CloseWithoutALinkOnlySaysSo) {
  std::optional<Link> link;
  LinkClose(panel, link);
  EXPECT_THAT(panel.Lines(), ElementsAre("    下载接口未打开，无需关闭"));
}

TEST_F(LinkTest, SendFramesThePacketWithItsByteSum) {
  std::optional<Link> link = OpenSim7();
  const uint8_t reset[] = {0x06, 0x00};
  EXPECT_EQ(link->Send(reset), LinkError::None);
  // Fourteen bytes whose sum (0x633) wraps past 256.
  const uint8_t start[] = {0x02, 0x0C, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x2A, 0, 0, 0, 0};
  EXPECT_EQ(link->Send(start), LinkError::None);

  const auto frames = Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_THAT(frames[0], ElementsAre(0x57, 0xAB, 0x06, 0x00, 0x06));
  EXPECT_THAT(frames[1], ElementsAre(0x57, 0xAB, 0x02, 0x0C, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                     0x01, 0x2A, 0, 0, 0, 0, 0x33));
  EXPECT_TRUE(device->Commands()[1].frameChecksumOk);
}

TEST_F(LinkTest, SendFailuresAreToldApartAndLoggedUnlessQuiet) {
  auto port = std::make_unique<ScriptedPort>();
  ScriptedPort& scripted = *port;
  Link link(std::move(port), env);

  scripted.writeResult = IoResult{false, 0, SIM_ERROR_DISCONNECTED};
  EXPECT_EQ(link.Send(START), LinkError::WriteFailed);
  EXPECT_EQ(link.Send(START, true), LinkError::WriteFailed);
  std::vector<std::string> expected = LastErrorLines("WriteFile", SIM_ERROR_DISCONNECTED);
  expected.push_back("    串口写失败");
  EXPECT_THAT(panel.Lines(), ElementsAreArray(expected));

  panel.ClearLog();
  scripted.writeResult = IoResult{true, 10, 0};
  EXPECT_EQ(link.Send(START), LinkError::WriteShort);
  EXPECT_THAT(panel.Lines(), ElementsAre("    串口写超时(10-14)"));
  EXPECT_EQ(scripted.purges, 3) << "every write purges first";
}

// Nothing reaches the port for a packet without a command in it, whether sent or exchanged.
TEST_F(LinkTest, EmptyPacketIsRefusedAndNothingIsWritten) {
  auto port = std::make_unique<ScriptedPort>();
  ScriptedPort& scripted = *port;
  Link link(std::move(port), env);
  const std::vector<uint8_t> empty;

  EXPECT_EQ(link.Send(empty), LinkError::WriteFailed);
  EXPECT_EQ(link.Send(empty, true), LinkError::WriteFailed);
  EXPECT_EQ(link.Exchange(empty).error, LinkError::WriteFailed);
  EXPECT_THAT(panel.Lines(), ElementsAre("    串口写失败", "    串口写失败"));
  EXPECT_THAT(scripted.written, IsEmpty());
  EXPECT_EQ(scripted.purges, 0);
}

struct ReplyCase {
  const char* name;
  std::vector<uint8_t> bytes;
  bool readOk;
  LinkError error;
  uint8_t status;
  std::vector<std::string> lines;
};

TEST_F(LinkTest, ExchangeTellsEachFaultOfTheReplyApart) {
  const ReplyCase cases[] = {
      {"good", {0x57, 0xAB, 0x82, 0x00, 0x00, 0x00}, true, LinkError::None, 0x00, {}},
      {"offsets 3 and 5 ignored",
       {0x57, 0xAB, 0x82, 0xEE, 0x00, 0x99},
       true,
       LinkError::None,
       0x00,
       {}},
      {"device error status",
       {0x57, 0xAB, 0x82, 0x00, 0x0A, 0x00},
       true,
       LinkError::DeviceStatus,
       0x0A,
       {}},
      {"echo of another command",
       {0x57, 0xAB, 0x83, 0x00, 0x00, 0x00},
       true,
       LinkError::WrongEcho,
       0,
       {}},
      {"echo without bit 7",
       {0x57, 0xAB, 0x02, 0x00, 0x00, 0x00},
       true,
       LinkError::WrongEcho,
       0,
       {}},
      {"bad first byte", {0x56, 0xAB, 0x82, 0x00, 0x00, 0x00}, true, LinkError::WrongEcho, 0, {}},
      {"bad second byte", {0x57, 0xBA, 0x82, 0x00, 0x00, 0x00}, true, LinkError::WrongEcho, 0, {}},
      {"five bytes",
       {0x57, 0xAB, 0x82, 0x00, 0x00},
       true,
       LinkError::ShortReply,
       0,
       {"    串口读操作返回长度错误(5-6-0)."}},
      {"nothing", {}, true, LinkError::ShortReply, 0, {"    串口读操作返回长度错误(0-6-0)."}},
      {"read call failed", {}, false, LinkError::ReadFailed, 0, {"    串口读失败."}},
  };
  for (const auto& c : cases) {
    for (const bool wait : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (wait ? " (wait)" : ""));
      if (wait && c.bytes.size() < 6) continue;  // the wait never reads an incomplete reply
      auto port = std::make_unique<ScriptedPort>();
      port->reads.push_back(
          {IoResult{c.readOk, 0, c.readOk ? 0u : SIM_ERROR_DISCONNECTED}, c.bytes});
      Link link(std::move(port), env);
      panel.ClearLog();
      const CommandResult result = wait ? link.Exchange(START, 10000) : link.Exchange(START);
      EXPECT_EQ(result.error, c.error);
      EXPECT_EQ(result.status, c.status);
      EXPECT_EQ(result.Ok(), c.error == LinkError::None);
      EXPECT_THAT(panel.Lines(), ElementsAreArray(c.lines));
      EXPECT_TRUE(clock.Sleeps().empty()) << "a reply already queued needs no wait";
    }
  }
}

TEST_F(LinkTest, WaitForASilentDeviceGivesUpAfterTwentyOneDots) {
  Fault("silent:start");
  std::optional<Link> link = OpenSim7();
  panel.ClearLog();
  const uint64_t before = clock.NowMs();
  EXPECT_EQ(link->Exchange(START, 10000).error, LinkError::NoReply);
  EXPECT_EQ(panel.Log(), std::string(21, '.'));
  EXPECT_EQ(clock.NowMs() - before, 10500u);
  EXPECT_EQ(clock.Sleeps(), std::vector<uint32_t>(21, 500));
}

// A port that fails while the reply is awaited (unplugged, its server gone): it cannot say what it
// holds from the given ask on, and its reads fail with the system's code.
class PortGoneDuringTheWait final : public testing::AgreeablePort {
 public:
  explicit PortGoneDuringTheWait(int goneAtAsk) : goneAtAsk_(goneAtAsk) {}
  bool QueuedInput(uint32_t& count) override {
    count = 0;
    return ++asks_ < goneAtAsk_;
  }
  IoResult Read(uint8_t*, uint32_t) override { return {false, 0, SIM_ERROR_DISCONNECTED}; }

 private:
  int goneAtAsk_;
  int asks_ = 0;
};

TEST_F(LinkTest, APortThatFailsDuringTheWaitEndsItAtOnceWithTheSystemsWords) {
  for (const int goneAtAsk : {1, 5}) {
    SCOPED_TRACE(goneAtAsk);
    Link link(std::make_unique<PortGoneDuringTheWait>(goneAtAsk), env);
    panel.ClearLog();
    const uint64_t before = clock.NowMs();
    EXPECT_EQ(link.Exchange(START, 10000).error, LinkError::ReadFailed);
    EXPECT_EQ(clock.NowMs() - before, 500u * static_cast<unsigned>(goneAtAsk - 1));
    std::vector<std::string> lines = LastErrorLines("ReadFile", SIM_ERROR_DISCONNECTED);
    lines.front().insert(0, std::string(static_cast<std::size_t>(goneAtAsk - 1), '.'));
    lines.push_back("    串口读失败.");
    EXPECT_THAT(panel.Lines(), ElementsAreArray(lines));
  }
}

TEST_F(LinkTest, WaitEndsWithTheDotsOfASlowReply) {
  Fault("slow-start:3000");
  std::optional<Link> link = OpenSim7();
  panel.ClearLog();
  const CommandResult result = link->Exchange(START, 10000);
  EXPECT_TRUE(result.Ok());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(panel.Log(), "......");
}

TEST_F(LinkTest, StaleRepliesArePurgedAndEachExchangeReadsOnlyItsOwn) {
  std::optional<Link> link = OpenSim7();
  ASSERT_TRUE(link->Exchange(START).Ok());
  // Two replies the link never asked for.
  device->Receive(Frames()[0], std::chrono::milliseconds(clock.NowMs()));
  device->Receive(Frames()[0], std::chrono::milliseconds(clock.NowMs()));
  uint32_t queued = 0;
  ASSERT_TRUE(link->Port().QueuedInput(queued));
  EXPECT_EQ(queued, 12u);

  ASSERT_TRUE(link->Exchange(START).Ok());
  ASSERT_TRUE(link->Port().QueuedInput(queued));
  EXPECT_EQ(queued, 0u) << "the stale replies were purged, the new one read";
}

TEST(LinkOpenOnABus, ApplicationDeviceIsSwitchedAndItsBootPortOpened) {
  testing::VirtualClock clock;
  testing::RecordingPanel panel;
  testing::RecordingEvents events;
  const auto bus = MakeSimulatedBus("demo", clock);
  ASSERT_NE(bus, nullptr);
  DeviceTable table;
  ASSERT_GE(DiscoverSerialDevices(bus->Tree(), table), 1);
  ASSERT_EQ(table[0].ports[0].portName, "COM5");
  ASSERT_FALSE(table[0].inIapMode);

  LinkEnv env{bus->Ports(), bus->Tree(), clock, panel, events};
  LinkOpening opening = LinkOpen(env, table[0]);
  ASSERT_TRUE(opening.link) << panel.Log();
  EXPECT_EQ(panel.Lines().back(), "    COM9打开成功");
  EXPECT_THAT(events.Events(), ElementsAre(RunEvent{PortOpened{"COM5", PortRole::Application}},
                                           RunEvent{ModeSwitchStep{SwitchStage::Requested, ""}},
                                           RunEvent{ModeSwitchStep{SwitchStage::Found, "COM9"}},
                                           RunEvent{PortOpened{"COM9", PortRole::Download}}));
  ASSERT_NE(bus->BootProgram("COM9"), nullptr);
  const uint8_t reset[] = {0x06, 0x00};
  EXPECT_EQ(opening.link->Send(reset), LinkError::None);
  EXPECT_TRUE(bus->BootProgram("COM9")->ResetReceived()) << "the link reaches the boot program";
}

}  // namespace
}  // namespace iapflash
