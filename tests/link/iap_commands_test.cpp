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
    link = OpenSim7();
    panel.ClearLog();
    events.Clear();
  }
  // A program or verify pass over image[0, length).
  bool Pass(IapCode code, const uint8_t* image, uint32_t length) {
    return IapTransferImage(*link, code, std::span<const uint8_t>(image, length)).Ok();
  }
  // The payloads of the frames the device received (header and checksum stripped).
  std::vector<std::vector<uint8_t>> Payloads() const {
    std::vector<std::vector<uint8_t>> payloads;
    for (const auto& frame : Frames()) payloads.emplace_back(frame.begin() + 2, frame.end() - 1);
    return payloads;
  }
  std::optional<Link> link;
};

TEST_F(IapCommandsTest, StartAndEndAnnounceLengthAndChecksumBigEndian) {
  EXPECT_TRUE(IapStart(*link, 100, 298).Ok());
  EXPECT_FALSE(IapEnd(*link, 100, 298).Ok()) << "the erased flash does not sum to 298";
  EXPECT_TRUE(IapEnd(*link, 0, 0).Ok());
  const auto payloads = Payloads();
  ASSERT_EQ(payloads.size(), 3u);
  EXPECT_THAT(payloads[0], ElementsAre(0x02, 0x0C, 0, 0, 0, 0x64, 0, 0, 0x01, 0x2A, 0, 0, 0, 0));
  EXPECT_THAT(payloads[1], ElementsAre(0x05, 0x0C, 0, 0, 0, 0x64, 0, 0, 0x01, 0x2A, 0, 0, 0, 0));
  EXPECT_EQ(device->LastStart()->dataLength, 100u);
  EXPECT_TRUE(clock.Sleeps().empty()) << "a prompt start reply needs no wait";
}

TEST_F(IapCommandsTest, ImageGoesOutInChunksOfThirtyTwoBytes) {
  const auto image = Image(100);
  ASSERT_TRUE(IapStart(*link, 100, Sum(image)).Ok());
  ASSERT_TRUE(Pass(IapCode::Program, image.data(), 100));
  ASSERT_TRUE(Pass(IapCode::Verify, image.data(), 100));
  EXPECT_EQ(panel.Log(), "") << "no dot below 1024 bytes";

  const auto payloads = Payloads();
  ASSERT_EQ(payloads.size(), 9u);
  const uint32_t offsets[] = {0x00, 0x20, 0x40, 0x60};
  const uint8_t counts[] = {36, 36, 36, 8};
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < 4; ++i) {
      const auto& packet = payloads[1 + pass * 4 + i];
      SCOPED_TRACE(::testing::Message() << "pass " << pass << " packet " << i);
      EXPECT_EQ(packet[0], static_cast<uint8_t>(pass == 0 ? IapCode::Program : IapCode::Verify));
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
  EXPECT_TRUE(Pass(IapCode::Program, nullptr, 0));
  EXPECT_TRUE(Pass(IapCode::Verify, nullptr, 0));
  EXPECT_TRUE(device->Commands().empty());
}

TEST_F(IapCommandsTest, OneDotPerFullKibibyte) {
  for (const uint32_t length : {1023u, 1024u, 1056u, 2047u, 2048u}) {
    const auto image = Image(length);
    panel.ClearLog();
    ASSERT_TRUE(Pass(IapCode::Program, image.data(), length));
    ASSERT_TRUE(Pass(IapCode::Verify, image.data(), length));
    EXPECT_EQ(panel.Log(), std::string(2 * (length / 1024), '.')) << length;
  }
}

TEST_F(IapCommandsTest, EachPassReportsItsProgressAfterEveryPacket) {
  const auto image = Image(100);
  ASSERT_TRUE(Pass(IapCode::Program, image.data(), 100));
  ASSERT_TRUE(Pass(IapCode::Verify, image.data(), 64));
  EXPECT_THAT(
      events.Of<PassProgress>(),
      ElementsAre(
          PassProgress{ImagePass::Program, 0, 100}, PassProgress{ImagePass::Program, 32, 100},
          PassProgress{ImagePass::Program, 64, 100}, PassProgress{ImagePass::Program, 96, 100},
          PassProgress{ImagePass::Program, 100, 100}, PassProgress{ImagePass::Verify, 0, 64},
          PassProgress{ImagePass::Verify, 32, 64}, PassProgress{ImagePass::Verify, 64, 64}));
}

TEST_F(IapCommandsTest, DotFollowsThePacketThatEndsAtTheKibibyte) {
  Fault("status:prog:0x400:0x0A");
  const auto image = Image(2048);
  EXPECT_FALSE(Pass(IapCode::Program, image.data(), 2048));
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
  LinkError error;
};

TEST_F(IapCommandsTest, EachFailureIsReportedInItsOwnWords) {
  const std::string dots(21, '.');
  const FailureCase cases[] = {
      {nullptr, Command::Start, WriteFailure("  ZVQMcuIAP_START send data failure"),
       LinkError::WriteFailed},
      {"silent:start", Command::Start, {dots + "  Read status failure."}, LinkError::NoReply},
      {"short:start", Command::Start, {dots + "  Read status failure."}, LinkError::NoReply},
      {"echo:start", Command::Start, {"  Read status failure."}, LinkError::WrongEcho},
      {"garbage:start", Command::Start, {"  Read status failure."}, LinkError::WrongEcho},
      {"status:start:0x5C", Command::Start, {"  命令执行错误.[5C]."}, LinkError::DeviceStatus},
      {nullptr, Command::Program, WriteFailure("    发送命令包失败.[0>32B]."),
       LinkError::WriteFailed},
      {"silent:prog:0x20",
       Command::Program,
       {"    串口读操作返回长度错误(0-6-0).", "  Read status failure.[20>32B]."},
       LinkError::ShortReply},
      {"short:prog",
       Command::Program,
       {"    串口读操作返回长度错误(5-6-0).", "  Read status failure.[0>32B]."},
       LinkError::ShortReply},
      {"echo:prog:0x20",
       Command::Program,
       {"  Read status failure.[20>32B]."},
       LinkError::WrongEcho},
      {"status:prog:0x20:0x0A",
       Command::Program,
       {"  [00000020]编程(A)."},
       LinkError::DeviceStatus},
      {nullptr, Command::Verify, WriteFailure("    发送命令包失败.[0>32B]."),
       LinkError::WriteFailed},
      {"garbage:verify:0x20",
       Command::Verify,
       {"  Read status failure.[20>32B]."},
       LinkError::WrongEcho},
      {"status:verify:0x20:0x0A",
       Command::Verify,
       {"  [00000020]检验(A)."},
       LinkError::DeviceStatus},
      {nullptr, Command::End, WriteFailure("  ZVQMcuIAP_END send data failure"),
       LinkError::WriteFailed},
      {"silent:end",
       Command::End,
       {"    串口读操作返回长度错误(0-6-0).", "  Read status failure.."},
       LinkError::ShortReply},
      {"echo:end", Command::End, {"  Read status failure.."}, LinkError::WrongEcho},
      {"status:end:7", Command::End, {"  命令执行错误.[7]."}, LinkError::DeviceStatus},
  };
  const auto image = Image(64);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault ? c.fault : "unplugged");
    link.reset();
    device = std::make_shared<SimDevice>();
    ports.Attach("SIM7", device);
    link = OpenSim7();
    ASSERT_TRUE(link);
    if (c.fault) Fault(c.fault);
    // The commands before the one under test succeed.
    if (c.command > Command::Start) {
      ASSERT_TRUE(IapStart(*link, 64, Sum(image)).Ok());
    }
    if (c.command > Command::Program) {
      ASSERT_TRUE(Pass(IapCode::Program, image.data(), 64));
    }
    if (c.command > Command::Verify) {
      ASSERT_TRUE(Pass(IapCode::Verify, image.data(), 64));
    }
    if (!c.fault) {
      SimFault unplug;
      unplug.kind = SimFaultKind::Disconnect;
      unplug.afterBytes = device->BytesReceived() + 10;
      device->AddFault(unplug);
    }
    panel.ClearLog();
    CommandResult result;
    switch (c.command) {
      case Command::Start:
        result = IapStart(*link, 64, Sum(image));
        break;
      case Command::Program:
        result = IapTransferImage(*link, IapCode::Program, image);
        break;
      case Command::Verify:
        result = IapTransferImage(*link, IapCode::Verify, image);
        break;
      case Command::End:
        result = IapEnd(*link, 64, Sum(image));
        break;
    }
    EXPECT_EQ(result.error, c.error);
    EXPECT_THAT(panel.Lines(), ElementsAreArray(c.lines));
  }
}

TEST_F(IapCommandsTest, VerifyOfOtherBytesFailsAtTheFirstDifferentChunk) {
  auto image = Image(96);
  ASSERT_TRUE(Pass(IapCode::Program, image.data(), 96));
  image[0x45] ^= 0xFF;
  EXPECT_FALSE(Pass(IapCode::Verify, image.data(), 96));
  EXPECT_THAT(panel.Lines(), ElementsAre("  [00000040]检验(E4)."));
}

TEST_F(IapCommandsTest, ResetSendsItsPacketAndReadsNothing) {
  EXPECT_TRUE(IapReset(*link));
  EXPECT_THAT(Frames(), ElementsAre(ElementsAre(0x57, 0xAB, 0x06, 0x00, 0x06)));
  EXPECT_TRUE(device->ResetReceived());
  EXPECT_TRUE(clock.Sleeps().empty());

  device->Disconnect();
  EXPECT_FALSE(IapReset(*link));
  EXPECT_EQ(panel.Log(), "") << "a failed reset write is not logged";
}

}  // namespace
}  // namespace iapflash
