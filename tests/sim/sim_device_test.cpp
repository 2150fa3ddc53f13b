#include "sim/sim_device.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>
#include <thread>

namespace iapflash {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using namespace std::chrono_literals;

std::vector<uint8_t> Frame(std::vector<uint8_t> payload) {
  uint8_t sum = 0;
  for (const uint8_t b : payload) sum = static_cast<uint8_t>(sum + b);
  payload.insert(payload.begin(), {0x57, 0xAB});
  payload.push_back(sum);
  return payload;
}

std::vector<uint8_t> Boundary(uint8_t code, uint32_t length, uint32_t checksum) {
  return Frame({code, 12, static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
                static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length),
                static_cast<uint8_t>(checksum >> 24), static_cast<uint8_t>(checksum >> 16),
                static_cast<uint8_t>(checksum >> 8), static_cast<uint8_t>(checksum), 0, 0, 0, 0});
}

std::vector<uint8_t> Chunk(uint8_t code, uint32_t offset, std::vector<uint8_t> data) {
  std::vector<uint8_t> payload = {code,
                                  static_cast<uint8_t>(data.size() + 4),
                                  static_cast<uint8_t>(offset >> 24),
                                  static_cast<uint8_t>(offset >> 16),
                                  static_cast<uint8_t>(offset >> 8),
                                  static_cast<uint8_t>(offset)};
  payload.insert(payload.end(), data.begin(), data.end());
  return Frame(payload);
}

class SimDeviceTest : public ::testing::Test {
 protected:
  // Sends a frame at `now` and returns every reply byte there is by then.
  std::vector<uint8_t> Exchange(const std::vector<uint8_t>& frame, SimTime now = SimTime{0}) {
    device.Receive(frame, now);
    std::vector<uint8_t> reply(64);
    reply.resize(device.Take(reply, now));
    return reply;
  }
  SimDevice device;
};

TEST_F(SimDeviceTest, ProgramsVerifiesAndChecksTheImage) {
  EXPECT_THAT(Exchange(Boundary(2, 4, 10)), ElementsAre(0x57, 0xAB, 0x82, 0, 0, 0x82));
  EXPECT_THAT(Exchange(Chunk(3, 0x20, {1, 2, 3, 4})), ElementsAre(0x57, 0xAB, 0x83, 0, 0, 0x83));
  EXPECT_THAT(Exchange(Chunk(4, 0x20, {1, 2, 3, 4})), ElementsAre(0x57, 0xAB, 0x84, 0, 0, 0x84));
  EXPECT_THAT(Exchange(Chunk(4, 0x20, {1, 2, 3, 5})),
              ElementsAre(0x57, 0xAB, 0x84, 0, SIM_STATUS_VERIFY_MISMATCH, 0x68));
  // The sum of bytes 0..0x23 holds 0xFF thirty-two times before 1+2+3+4.
  const uint32_t sum = 32 * 0xFF + 10;
  EXPECT_EQ(Exchange(Boundary(5, 0x24, sum))[4], SIM_STATUS_OK);
  EXPECT_EQ(Exchange(Boundary(5, 0x24, sum + 1))[4], SIM_STATUS_END_MISMATCH);
  EXPECT_TRUE(Exchange(Frame({6, 0})).empty()) << "a reset is not answered";
  EXPECT_TRUE(device.ResetReceived());

  const auto memory = device.Memory();
  ASSERT_EQ(memory.size(), SIM_MEMORY_SIZE);
  EXPECT_THAT(std::vector<uint8_t>(memory.begin() + 0x1F, memory.begin() + 0x25),
              ElementsAre(0xFF, 1, 2, 3, 4, 0xFF));
  ASSERT_TRUE(device.LastStart());
  EXPECT_EQ(device.LastStart()->dataLength, 4u);
  EXPECT_EQ(device.LastStart()->checksum, 10u);
}

TEST_F(SimDeviceTest, StartErasesTheFlash) {
  Exchange(Chunk(3, 0, {0, 0}));
  Exchange(Boundary(2, 2, 0));
  EXPECT_EQ(device.Memory()[0], 0xFF);
}

TEST_F(SimDeviceTest, RefusesBrokenAndUnknownFrames) {
  auto badSum = Chunk(3, 0, {9});
  badSum.back() ^= 1;
  EXPECT_THAT(Exchange(badSum), ElementsAre(0x57, 0xAB, 0x83, 0, SIM_STATUS_BAD_CHECKSUM, 0x64));
  EXPECT_FALSE(device.Commands().back().frameChecksumOk);
  EXPECT_EQ(device.Memory()[0], 0xFF) << "a broken frame writes nothing";

  EXPECT_EQ(Exchange(Frame({9, 0}))[4], SIM_STATUS_BAD_COMMAND);
  EXPECT_EQ(Exchange(Chunk(3, SIM_MEMORY_SIZE - 1, {1, 2}))[4], SIM_STATUS_OUT_OF_RANGE);
  EXPECT_EQ(Exchange(Boundary(2, SIM_MEMORY_SIZE + 1, 0))[4], SIM_STATUS_OUT_OF_RANGE);
  EXPECT_EQ(Exchange({0x57, 0xAB, 0x03, 200})[4], SIM_STATUS_BAD_COMMAND) << "no packet is so long";
}

TEST_F(SimDeviceTest, FindsFramesInNoiseAndAcrossWrites) {
  const auto frame = Chunk(3, 0, {0x57, 0xAB});
  std::vector<uint8_t> stream = {0x00, 0x57, 0x57, 0x13};  // noise, including a false start
  stream.insert(stream.end(), frame.begin(), frame.end());
  for (const uint8_t byte : stream) device.Receive({&byte, 1}, SimTime{0});
  ASSERT_EQ(device.Commands().size(), 1u);
  EXPECT_EQ(device.Commands()[0].frame, frame);
  const auto memory = device.Memory();
  EXPECT_THAT(std::vector<uint8_t>(memory.begin(), memory.begin() + 2), ElementsAre(0x57, 0xAB));
  EXPECT_EQ(device.BytesReceived(), stream.size());
}

struct FaultCase {
  const char* text;
  std::vector<uint8_t> frame;
  std::vector<uint8_t> reply;
};

TEST_F(SimDeviceTest, InjectedFaultsShapeTheReply) {
  const FaultCase cases[] = {
      {"status:prog:0x400:0x0A", Chunk(3, 0x400, {1}), {0x57, 0xAB, 0x83, 0, 0x0A, 0x8D}},
      {"status:start:7", Boundary(2, 1, 1), {0x57, 0xAB, 0x82, 0, 0x07, 0x89}},
      {"silent:verify", Chunk(4, 0, {0xFF}), {}},
      {"short:end", Boundary(5, 0, 0), {0x57, 0xAB, 0x85, 0, 0}},
      {"echo:start", Boundary(2, 1, 1), {0x57, 0xAB, 0x83, 0, 0, 0x83}},
      {"garbage:prog", Chunk(3, 0, {1}), {0xA5, 0x5A, 0xC3, 0x3C, 0x00, 0xFF}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    SimDevice fresh;
    fresh.AddFault(*ParseSimFault(c.text));
    fresh.Receive(c.frame, SimTime{0});
    std::vector<uint8_t> reply(64);
    reply.resize(fresh.Take(reply, SimTime{0}));
    EXPECT_EQ(reply, c.reply);
    // A fault fires once; the same command again is answered normally.
    fresh.Receive(c.frame, SimTime{0});
    reply.resize(64);
    reply.resize(fresh.Take(reply, SimTime{0}));
    ASSERT_EQ(reply.size(), 6u);
    EXPECT_EQ(reply[2], c.frame[2] | 0x80);
  }
}

TEST_F(SimDeviceTest, FaultAtAnOffsetWaitsForThatOffset) {
  device.AddFault(*ParseSimFault("status:prog:0x400:0x0A"));
  EXPECT_EQ(Exchange(Chunk(3, 0x3E0, {1}))[4], 0);
  EXPECT_EQ(Exchange(Chunk(4, 0x400, {1}))[4], SIM_STATUS_VERIFY_MISMATCH) << "other command";
  EXPECT_EQ(Exchange(Chunk(3, 0x400, {1}))[4], 0x0A);
}

TEST_F(SimDeviceTest, DisconnectsAfterTheGivenByteCount) {
  device.AddFault(*ParseSimFault("disconnect:5"));
  const auto frame = Frame({6, 0, 0, 0});
  EXPECT_EQ(device.Receive(frame, SimTime{0}), 5u);
  EXPECT_FALSE(device.Connected());
  EXPECT_EQ(device.Receive(frame, SimTime{0}), 0u);
  EXPECT_EQ(device.BytesReceived(), 5u);
}

TEST_F(SimDeviceTest, ParsesFaultTexts) {
  const auto status = ParseSimFault("status:prog:0x400:0x0A");
  ASSERT_TRUE(status);
  EXPECT_EQ(status->kind, SimFaultKind::Status);
  EXPECT_EQ(status->code, 3);
  EXPECT_EQ(status->offset, 0x400u);
  EXPECT_EQ(status->status, 0x0A);

  const auto anyOffset = ParseSimFault("status:end:255");
  ASSERT_TRUE(anyOffset);
  EXPECT_FALSE(anyOffset->offset);
  EXPECT_EQ(anyOffset->status, 255);

  const auto disconnect = ParseSimFault("disconnect:5000");
  ASSERT_TRUE(disconnect);
  EXPECT_EQ(disconnect->kind, SimFaultKind::Disconnect);
  EXPECT_EQ(disconnect->afterBytes, 5000u);

  const auto slow = ParseSimFault("slow-start:3000");
  ASSERT_TRUE(slow);
  EXPECT_EQ(slow->kind, SimFaultKind::SlowStart);
  EXPECT_EQ(slow->delayMs, 3000u);

  for (const char* text :
       {"silent:start", "short:verify", "echo:end", "garbage:start", "silent:prog:32"}) {
    EXPECT_TRUE(ParseSimFault(text)) << text;
  }
  for (const char* text :
       {"", "status", "status:prog", "status:prog:0x100", "status:flash:1", "status:prog:1:2:3",
        "echo:reset", "silent", "silent:prog:x", "silent:prog:1:2", "disconnect:", "disconnect:-1",
        "disconnect:5:6", "slow-start:1e3", "slow-start:99999999999", "loud:start",
        "status:prog:0x"}) {
    EXPECT_FALSE(ParseSimFault(text)) << text;
  }
}

TEST_F(SimDeviceTest, WireTimingDelaysEachReplyByte) {
  // 100000 baud: 100 us per byte. Frames are 17 bytes (start) and 10 bytes (prog of one byte).
  device.SetWireTiming({100000, 50, 2000});
  device.AddFault(*ParseSimFault("slow-start:3"));
  device.Receive(Boundary(2, 1, 1), SimTime{0});
  // Arrives at 1700 us, reply ready 50 us and 3 ms later, first byte 100 us after that.
  const SimTime first = 1700us + 50us + 3ms + 100us;
  EXPECT_EQ(device.NextByteAt(SimTime{0}), first);
  EXPECT_EQ(device.LastByteAt(), first + 500us);
  EXPECT_EQ(device.Available(first - 1ns), 0u);
  EXPECT_EQ(device.Available(first), 1u);
  EXPECT_EQ(device.Available(first + 500us), 6u);
  device.DiscardAvailable(first + 500us);

  // A program packet pays the flash time.
  const SimTime sent = 10ms;
  device.Receive(Chunk(3, 0, {1}), sent);
  EXPECT_EQ(device.NextByteAt(sent), sent + 1000us + 50us + 2000us + 100us);
  EXPECT_EQ(device.Available(sent + 10ms), 6u);
}

TEST_F(SimDeviceTest, WithoutWireTimingRepliesAreThereAtOnce) {
  EXPECT_EQ(Exchange(Boundary(2, 0, 0), 5ms).size(), 6u);
  EXPECT_FALSE(device.NextByteAt(5ms));
  EXPECT_FALSE(device.LastByteAt()) << "nothing is on its way once the reply was taken";
}

TEST_F(SimDeviceTest, HostAndDeviceSidesMayRunOnTwoThreads) {
  // As a transport does it: one thread feeds frames in, another collects the replies.
  constexpr int COMMANDS = 500;
  std::thread host([this] {
    for (int i = 0; i < COMMANDS; ++i) {
      device.Receive(Chunk(3, static_cast<uint32_t>(i) * 4, {1, 2, 3, 4}), SimTime{0});
    }
  });
  std::size_t collected = 0;
  std::vector<uint8_t> buffer(64);
  while (collected < COMMANDS * SIM_REPLY_SIZE) {
    collected += device.Take(buffer, SimTime{0});
    std::this_thread::yield();
  }
  host.join();
  EXPECT_EQ(device.Commands().size(), static_cast<std::size_t>(COMMANDS));
  EXPECT_EQ(device.Memory()[COMMANDS * 4 - 1], 4);
}

}  // namespace
}  // namespace iapflash
