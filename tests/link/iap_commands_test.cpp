#include "link/iap_commands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>

#include "link_fixture.h"

namespace iapflash {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::SimStationTest;

std::vector<uint8_t> Image(uint32_t length) {
  std::vector<uint8_t> image(length);
  for (uint32_t i = 0; i < length; ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
  return image;
}

uint32_t Sum(const std::vector<uint8_t>& image) {
  return std::accumulate(image.begin(), image.end(), 0u);
}

class IapCommandsTest : public SimStationTest {
 protected:
  IapCommandsTest() {
    link = LinkOpen(station);
    panel.ClearLog();
  }
  // The payloads of the frames the device received (header and checksum stripped).
  std::vector<std::vector<uint8_t>> Payloads() const {
    std::vector<std::vector<uint8_t>> payloads;
    for (const auto& frame : Frames()) payloads.emplace_back(frame.begin() + 2, frame.end() - 1);
    return payloads;
  }
  LinkHandle link;
};

TEST_F(IapCommandsTest, StartAndEndAnnounceLengthAndChecksumBigEndian) {
  EXPECT_TRUE(IapStart(station, link, 100, 298));
  EXPECT_FALSE(IapEnd(station, link, 100, 298)) << "the erased flash does not sum to 298";
  EXPECT_TRUE(IapEnd(station, link, 0, 0));
  const auto payloads = Payloads();
  ASSERT_EQ(payloads.size(), 3u);
  EXPECT_THAT(payloads[0], ElementsAre(0x02, 0x0C, 0, 0, 0, 0x64, 0, 0, 0x01, 0x2A, 0, 0, 0, 0));
  EXPECT_THAT(payloads[1], ElementsAre(0x05, 0x0C, 0, 0, 0, 0x64, 0, 0, 0x01, 0x2A, 0, 0, 0, 0));
  EXPECT_EQ(device->LastStart()->dataLength, 100u);
  EXPECT_TRUE(clock.Sleeps().empty()) << "a prompt start reply needs no wait";
}

TEST_F(IapCommandsTest, ImageGoesOutInChunksOfThirtyTwoBytes) {
  const auto image = Image(100);
  ASSERT_TRUE(IapStart(station, link, 100, Sum(image)));
  ASSERT_TRUE(IapProgram(station, link, image.data(), 100));
  ASSERT_TRUE(IapVerify(station, link, image.data(), 100));
  EXPECT_EQ(panel.Log(), "") << "no dot below 1024 bytes";

  const auto payloads = Payloads();
  ASSERT_EQ(payloads.size(), 9u);
  const uint32_t offsets[] = {0x00, 0x20, 0x40, 0x60};
  const uint8_t counts[] = {36, 36, 36, 8};
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < 4; ++i) {
      const auto& packet = payloads[1 + pass * 4 + i];
      SCOPED_TRACE(::testing::Message() << "pass " << pass << " packet " << i);
      EXPECT_EQ(packet[0], pass == 0 ? ZVQMcuIAP_PROG : ZVQMcuIAP_VERIFY);
      EXPECT_EQ(packet[1], counts[i]);
      EXPECT_THAT(std::vector<uint8_t>(packet.begin() + 2, packet.begin() + 6),
                  ElementsAre(0, 0, 0, offsets[i]));
      EXPECT_THAT(std::vector<uint8_t>(packet.begin() + 6, packet.end()),
                  ElementsAreArray(image.begin() + offsets[i],
                                   image.begin() + offsets[i] + (counts[i] - 4)));
    }
  }
  const auto memory = device->Memory();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
  EXPECT_EQ(memory[100], 0xFF);
}

TEST_F(IapCommandsTest, EmptyImageSendsNothing) {
  EXPECT_TRUE(IapProgram(station, link, nullptr, 0));
  EXPECT_TRUE(IapVerify(station, link, nullptr, 0));
  EXPECT_TRUE(device->Commands().empty());
}

TEST_F(IapCommandsTest, OneDotPerFullKibibyte) {
  for (const uint32_t length : {1023u, 1024u, 1056u, 2047u, 2048u}) {
    const auto image = Image(length);
    panel.ClearLog();
    ASSERT_TRUE(IapProgram(station, link, image.data(), length));
    ASSERT_TRUE(IapVerify(station, link, image.data(), length));
    EXPECT_EQ(panel.Log(), std::string(2 * (length / 1024), '.')) << length;
  }
}

TEST_F(IapCommandsTest, DotFollowsThePacketThatEndsAtTheKibibyte) {
  Fault("status:prog:0x400:0x0A");
  const auto image = Image(2048);
  EXPECT_FALSE(IapProgram(station, link, image.data(), 2048));
  EXPECT_EQ(panel.Log(), ".  [00000400]编程(A).\r\n");
  EXPECT_EQ(device->Commands().back().offset, 0x400u) << "the pass stops at the failure";
}

enum class Command { Start, Program, Verify, End };

// The link's lines for a write to an unplugged device, then the command's own.
std::vector<std::string> WriteFailure(const char* commandLine) {
  std::vector<std::string> lines = testing::LastErrorLines("WriteFile", SIM_ERROR_DISCONNECTED);
  lines.insert(lines.end(), {"    串口写失败", commandLine});
  return lines;
}

struct FailureCase {
  const char* fault;  // nullptr: unplug the device ten bytes into the command's frame
  Command command;
  std::vector<std::string> lines;
};

TEST_F(IapCommandsTest, EachFailureIsReportedInItsOwnWords) {
  const std::string dots(21, '.');
  const FailureCase cases[] = {
      {nullptr, Command::Start, WriteFailure("  ZVQMcuIAP_START send data failure")},
      {"silent:start", Command::Start, {dots + "  Read status failure."}},
      {"short:start", Command::Start, {dots + "  Read status failure."}},
      {"echo:start", Command::Start, {"  Read status failure."}},
      {"garbage:start", Command::Start, {"  Read status failure."}},
      {"status:start:0x5C", Command::Start, {"  命令执行错误.[5C]."}},
      {nullptr, Command::Program, WriteFailure("    发送命令包失败.[0>32B].")},
      {"silent:prog:0x20",
       Command::Program,
       {"    串口读操作返回长度错误(0-6-0).", "  Read status failure.[20>32B]."}},
      {"short:prog",
       Command::Program,
       {"    串口读操作返回长度错误(5-6-0).", "  Read status failure.[0>32B]."}},
      {"echo:prog:0x20", Command::Program, {"  Read status failure.[20>32B]."}},
      {"status:prog:0x20:0x0A", Command::Program, {"  [00000020]编程(A)."}},
      {nullptr, Command::Verify, WriteFailure("    发送命令包失败.[0>32B].")},
      {"garbage:verify:0x20", Command::Verify, {"  Read status failure.[20>32B]."}},
      {"status:verify:0x20:0x0A", Command::Verify, {"  [00000020]检验(A)."}},
      {nullptr, Command::End, WriteFailure("  ZVQMcuIAP_END send data failure")},
      {"silent:end",
       Command::End,
       {"    串口读操作返回长度错误(0-6-0).", "  Read status failure.."}},
      {"echo:end", Command::End, {"  Read status failure.."}},
      {"status:end:7", Command::End, {"  命令执行错误.[7]."}},
  };
  const auto image = Image(64);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault ? c.fault : "unplugged");
    link.reset();
    device = std::make_shared<SimDevice>();
    ports.Attach("SIM7", device);
    link = LinkOpen(station);
    ASSERT_NE(link, LINK_INVALID);
    if (c.fault) Fault(c.fault);
    // The commands before the one under test succeed.
    if (c.command > Command::Start) {
      ASSERT_TRUE(IapStart(station, link, 64, Sum(image)));
    }
    if (c.command > Command::Program) {
      ASSERT_TRUE(IapProgram(station, link, image.data(), 64));
    }
    if (c.command > Command::Verify) {
      ASSERT_TRUE(IapVerify(station, link, image.data(), 64));
    }
    if (!c.fault) {
      SimFault unplug;
      unplug.kind = SimFaultKind::Disconnect;
      unplug.afterBytes = device->BytesReceived() + 10;
      device->AddFault(unplug);
    }
    panel.ClearLog();
    bool ok = true;
    switch (c.command) {
      case Command::Start:
        ok = IapStart(station, link, 64, Sum(image));
        break;
      case Command::Program:
        ok = IapProgram(station, link, image.data(), 64);
        break;
      case Command::Verify:
        ok = IapVerify(station, link, image.data(), 64);
        break;
      case Command::End:
        ok = IapEnd(station, link, 64, Sum(image));
        break;
    }
    EXPECT_FALSE(ok);
    EXPECT_THAT(panel.Lines(), ElementsAreArray(c.lines));
  }
}

TEST_F(IapCommandsTest, VerifyOfOtherBytesFailsAtTheFirstDifferentChunk) {
  auto image = Image(96);
  ASSERT_TRUE(IapProgram(station, link, image.data(), 96));
  image[0x45] ^= 0xFF;
  EXPECT_FALSE(IapVerify(station, link, image.data(), 96));
  EXPECT_THAT(panel.Lines(), ElementsAre("  [00000040]检验(E4)."));
}

TEST_F(IapCommandsTest, ResetSendsItsPacketAndReadsNothing) {
  EXPECT_TRUE(IapReset(station, link));
  EXPECT_THAT(Frames(), ElementsAre(ElementsAre(0x57, 0xAB, 0x06, 0x00, 0x06)));
  EXPECT_TRUE(device->ResetReceived());
  EXPECT_TRUE(clock.Sleeps().empty());

  device->Disconnect();
  EXPECT_FALSE(IapReset(station, link));
  EXPECT_EQ(panel.Log(), "") << "a failed reset write is not logged";
}

}  // namespace
}  // namespace iapflash
