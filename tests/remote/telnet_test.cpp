#include "platform/remote/telnet.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

namespace iapflash::telnet {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Bytes = std::vector<uint8_t>;

struct Received {
  Bytes data;
  Bytes answers;
};

// Feeds the bytes one at a time, so that every sequence is also cut at every point.
Received FeedBytewise(Session& session, const Bytes& bytes) {
  Received r;
  for (const uint8_t byte : bytes) session.Receive(&byte, 1, r.data, r.answers);
  return r;
}

Received Feed(Session& session, const Bytes& bytes) {
  Received r;
  session.Receive(bytes.data(), bytes.size(), r.data, r.answers);
  return r;
}

TEST(Telnet, DataDoublesEveryFFBothWays) {
  Bytes out;
  const Bytes data = {0x57, 0xFF, 0xAB, 0xFF, 0xFF};
  AppendData(out, data.data(), data.size());
  EXPECT_THAT(out, ElementsAre(0x57, 0xFF, 0xFF, 0xAB, 0xFF, 0xFF, 0xFF, 0xFF));

  Session session;
  EXPECT_EQ(FeedBytewise(session, out).data, data);
}

TEST(Telnet, ComPortCommandsEscapeTheirValues) {
  Bytes out;
  AppendComPort(out, SET_BAUDRATE, {0x00, 0x00, 0xFF, 0x01});
  EXPECT_THAT(out,
              ElementsAre(IAC, SB, COM_PORT, SET_BAUDRATE, 0x00, 0x00, 0xFF, 0xFF, 0x01, IAC, SE));
}

TEST(Telnet, OpensAskingForComPortControlAndBinaryBothWays) {
  Session session;
  Bytes out;
  session.Start(out);
  EXPECT_THAT(out, ElementsAre(IAC, WILL, COM_PORT, IAC, WILL, BINARY, IAC, WILL, SUPPRESS_GO_AHEAD,
                               IAC, DO, BINARY, IAC, DO, SUPPRESS_GO_AHEAD));
}

TEST(Telnet, AnswersOnlyChangesAndNeverAgreesToWhatItDoesNotSpeak) {
  Session session;
  Bytes start;
  session.Start(start);
  // The server's opening as ser2net sends it: agreement to what was asked is not answered,
  // echo is refused once, and the same request again gets no second answer.
  const Received first = Feed(session, {IAC, WILL, SUPPRESS_GO_AHEAD,
                                        IAC, DO,   SUPPRESS_GO_AHEAD,
                                        IAC, WILL, 1,
                                        IAC, DONT, 1,
                                        IAC, DO,   BINARY,
                                        IAC, WILL, BINARY,
                                        IAC, DO,   COM_PORT});
  EXPECT_THAT(first.data, IsEmpty());
  EXPECT_THAT(first.answers, ElementsAre(IAC, DONT, 1));
  EXPECT_TRUE(session.ComPortAccepted());
  EXPECT_THAT(Feed(session, {IAC, DO, COM_PORT, IAC, WILL, BINARY}).answers, IsEmpty());
  // Options it does not speak are refused; a server that ends one it had is told so.
  EXPECT_THAT(Feed(session, {IAC, DO, 24, IAC, WILL, 5}).answers,
              ElementsAre(IAC, WONT, 24, IAC, DONT, 5));
  EXPECT_THAT(Feed(session, {IAC, WONT, BINARY}).answers, ElementsAre(IAC, DONT, BINARY));
  EXPECT_THAT(Feed(session, {IAC, WONT, BINARY}).answers, IsEmpty());
}

TEST(Telnet, RefusedComPortControlIsKnown) {
  Session session;
  Bytes start;
  session.Start(start);
  EXPECT_THAT(Feed(session, {IAC, DONT, COM_PORT}).answers, IsEmpty());
  EXPECT_TRUE(session.ComPortRefused());
  EXPECT_FALSE(session.ComPortAccepted());
}

TEST(Telnet, ServerAnswersAndNotificationsAmongDataAreTakenAndLeaveTheDataAlone) {
  Session session;
  const Bytes stream = {0x57, IAC,      SB,       COM_PORT, 101,  0x00,     0x01, 0xC2, 0x00,
                        IAC,  SE,       0xAB,     IAC,      SB,   COM_PORT, 102,  8,    IAC,
                        SE,   IAC,      SB,       COM_PORT, 103,  1,        IAC,  SE,   IAC,
                        SB,   COM_PORT, 104,      1,        IAC,  SE,       IAC,  SB,   COM_PORT,
                        107,  0x30,     IAC,      SE,                            // modem state
                        IAC,  SB,       COM_PORT, 106,      0x60, IAC,      SE,  // line state
                        IAC,  241,                                               // no operation
                        IAC,  SB,       COM_PORT, 112,      3,    IAC,      SE,  // purge done
                        0x82};
  EXPECT_FALSE(session.ComPortAnswered());
  const Received r = FeedBytewise(session, stream);
  EXPECT_THAT(r.data, ElementsAre(0x57, 0xAB, 0x82));
  EXPECT_THAT(r.answers, IsEmpty());
  EXPECT_TRUE(session.ComPortAnswered());
  EXPECT_EQ(session.Port().baudRate, 115200u);
  EXPECT_EQ(session.Port().dataSize, 8);
  EXPECT_EQ(session.Port().parity, PARITY_NONE);
  EXPECT_EQ(session.Port().stopSize, STOPSIZE_ONE);
}

TEST(Telnet, BaudRateWithAnFFByteAndFlowControlRequests) {
  Session session;
  Feed(session, {IAC, SB, COM_PORT, 101, 0x00, 0x00, 0xFF, 0xFF, 0x00, IAC, SE});
  EXPECT_EQ(session.Port().baudRate, 0xFF00u);
  Feed(session, {IAC, SB, COM_PORT, 108, IAC, SE});
  EXPECT_TRUE(session.Port().suspended);
  Feed(session, {IAC, SB, COM_PORT, 109, IAC, SE});
  EXPECT_FALSE(session.Port().suspended);
}

TEST(Telnet, OverlongSubnegotiationIsDroppedWithoutLosingTheStream) {
  Session session;
  Bytes stream = {IAC, SB, COM_PORT, 101};
  stream.insert(stream.end(), 5000, 0x11);
  stream.insert(stream.end(), {IAC, SE, 0x42});
  const Received r = Feed(session, stream);
  EXPECT_THAT(r.data, ElementsAre(0x42));
  EXPECT_FALSE(session.Port().baudRate);
}

}  // namespace
}  // namespace iapflash::telnet
