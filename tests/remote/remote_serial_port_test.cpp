// The remote port over a scripted connection in virtual time: what goes out, what the link gets,
// and that every wait ends at its limit.
#include "platform/remote/remote_serial_port.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/cancel_switch.h"
#include "platform/remote/telnet.h"
#include "virtual_clock.h"

namespace iapflash {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using testing::VirtualClock;
using Bytes = std::vector<uint8_t>;
using namespace telnet;

constexpr std::size_t FLOOD_CHUNK = 1024;

// The server's side of a connection: bytes that arrive at given times, a close at a given time,
// and how much the connection takes before it is full. Waiting moves the virtual clock.
struct Script {
  explicit Script(VirtualClock& c) : clock(c) {}
  void Arrive(uint64_t afterMs, Bytes bytes) {
    arrivals.push_back({clock.NowMs() + afterMs, std::move(bytes)});
  }
  void CloseAfter(uint64_t ms) { closedAt = clock.NowMs() + ms; }
  // Another thread's cancel, made when a wait reaches that moment.
  void CancelAfter(uint64_t ms, std::function<void()> cancel) {
    cancelAt = clock.NowMs() + ms;
    canceller = std::move(cancel);
  }
  // Moves the clock to the end of a wait that would end at until (or never): to the cancel's
  // moment if that comes first, making the cancel once. True when it reached the connection.
  bool CancelledBy(uint64_t until) {
    if (cancelled) return true;
    if (cancelAt > until) return false;
    clock.Advance(cancelAt - std::min(cancelAt, clock.NowMs()));
    cancelAt = std::numeric_limits<uint64_t>::max();
    canceller();
    return cancelled;
  }
  Bytes TakeSent() { return std::exchange(sent, {}); }
  // A server that sends head, then body over and over until untilMs from now, FLOOD_CHUNK bytes
  // a millisecond.
  void Flood(Bytes head, Bytes body, uint64_t untilMs) {
    floodHead = std::move(head);
    floodBody = std::move(body);
    floodUntil = clock.NowMs() + untilMs;
  }
  bool Flooding() const { return clock.NowMs() < floodUntil; }

  VirtualClock& clock;
  struct Arrival {
    uint64_t at;
    Bytes bytes;
  };
  std::deque<Arrival> arrivals;
  uint64_t closedAt = std::numeric_limits<uint64_t>::max();
  Bytes sent;
  std::size_t room = std::numeric_limits<std::size_t>::max();
  bool endedSending = false;
  uint64_t connectMs = 0;  // how long the connection takes to come up
  uint64_t cancelAt = std::numeric_limits<uint64_t>::max();
  std::function<void()> canceller;
  bool cancelled = false;
  Bytes floodHead;
  Bytes floodBody;
  uint64_t floodUntil = 0;
  std::size_t floodAt = 0;  // where in the body the next chunk goes on
};

class ScriptedConnection final : public Connection {
 public:
  explicit ScriptedConnection(std::shared_ptr<Script> script) : s_(std::move(script)) {}
  bool Connect(const std::string&, uint16_t, uint32_t timeoutMs, SystemError& error) override {
    const uint64_t up = s_->clock.NowMs() + std::min<uint64_t>(s_->connectMs, timeoutMs);
    if (s_->CancelledBy(up)) {
      error = CancelledError();
      return false;
    }
    s_->clock.Advance(up - s_->clock.NowMs());
    return true;
  }
  bool Send(const uint8_t* data, std::size_t size, std::size_t& sent, SystemError&) override {
    sent = std::min(size, s_->room);
    s_->room -= sent;
    s_->sent.insert(s_->sent.end(), data, data + sent);
    return true;
  }
  bool Receive(uint8_t* buffer, std::size_t size, std::size_t& got, SystemError& error) override {
    got = 0;
    if (s_->Flooding()) {
      s_->clock.Advance(1);
      size = std::min(size, FLOOD_CHUNK);
      for (; got < size && !s_->floodHead.empty(); ++got) {
        buffer[got] = s_->floodHead.front();
        s_->floodHead.erase(s_->floodHead.begin());
      }
      for (; got < size; ++got, s_->floodAt = (s_->floodAt + 1) % s_->floodBody.size()) {
        buffer[got] = s_->floodBody[s_->floodAt];
      }
      s_->CancelledBy(s_->clock.NowMs());
      return true;
    }
    const uint64_t now = s_->clock.NowMs();
    while (!s_->arrivals.empty() && s_->arrivals.front().at <= now && got < size) {
      Bytes& bytes = s_->arrivals.front().bytes;
      const std::size_t n = std::min(size - got, bytes.size());
      std::copy_n(bytes.begin(), n, buffer + got);
      got += n;
      bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(n));
      if (bytes.empty()) s_->arrivals.pop_front();
    }
    if (got == 0 && now >= s_->closedAt) {
      error = ConnectionClosedError();
      return false;
    }
    return true;
  }
  bool Wait(bool forSending, int timeoutMs) override {
    if (!forSending && s_->Flooding()) return true;
    const uint64_t now = s_->clock.NowMs();
    uint64_t next = forSending ? (s_->room > 0 ? now : UINT64_MAX) : s_->closedAt;
    if (!forSending && !s_->arrivals.empty()) next = std::min(next, s_->arrivals.front().at);
    const uint64_t limit = timeoutMs < 0 ? UINT64_MAX : now + static_cast<uint64_t>(timeoutMs);
    if (s_->CancelledBy(std::min({next, limit, UINT64_MAX - 1}))) return true;
    if (next <= now) return true;
    if (timeoutMs >= 0 && next > now + static_cast<uint64_t>(timeoutMs)) {
      s_->clock.Advance(static_cast<uint64_t>(timeoutMs));
      return false;
    }
    if (next == UINT64_MAX) return false;  // nothing will ever come: a test fault, not a hang
    s_->clock.Advance(next - now);
    return true;
  }
  void EndSending() override { s_->endedSending = true; }
  void Cancel() override { s_->cancelled = true; }

 private:
  std::shared_ptr<Script> s_;
};

Bytes ComPort(uint8_t command, Bytes value) {
  Bytes out;
  AppendComPort(out, command, value);
  return out;
}

const Bytes BAUD_ANSWER = ComPort(SERVER_OFFSET + SET_BAUDRATE, {0x00, 0x00, 0x25, 0x80});

class RemoteSerialPortTest : public ::testing::Test {
 protected:
  // A started port whose server has answered; what it sent so far is cleared.
  RemoteSerialPort& Started(RemoteProtocol protocol = RemoteProtocol::Rfc2217) {
    if (protocol == RemoteProtocol::Rfc2217) script->Arrive(3, BAUD_ANSWER);
    port = std::make_unique<RemoteSerialPort>(std::make_unique<ScriptedConnection>(script),
                                              protocol, clock);
    SystemError error = 0;
    EXPECT_TRUE(port->Start(error)) << error;
    script->TakeSent();
    return *port;
  }
  void LinkTimeouts(uint32_t readMultiplier, uint32_t readConstant) {
    SerialTimeouts t;
    t.readMultiplier = readMultiplier;
    t.readConstant = readConstant;
    t.writeMultiplier = 50;
    t.writeConstant = 500;
    port->SetTimeouts(t);
  }

  VirtualClock clock;
  std::shared_ptr<Script> script = std::make_shared<Script>(clock);
  std::unique_ptr<RemoteSerialPort> port;
};

TEST_F(RemoteSerialPortTest, StartNegotiatesAsksForTheSettingsAndEndsAtTheServersAnswer) {
  const uint64_t begun = clock.NowMs();
  Started();
  EXPECT_EQ(clock.NowMs() - begun, 3u) << "no wait beyond the answer";
  LineSettings line;
  ASSERT_TRUE(port->GetLineSettings(line));
  EXPECT_EQ(line.baudRate, 9600u) << "the server's answer";
}

TEST_F(RemoteSerialPortTest, StartSendsTheOpeningRequestsAndQueries) {
  script->Arrive(1, BAUD_ANSWER);
  RemoteSerialPort remote(std::make_unique<ScriptedConnection>(script), RemoteProtocol::Rfc2217,
                          clock);
  SystemError error = 0;
  ASSERT_TRUE(remote.Start(error));
  Bytes expected;
  Session().Start(expected);
  for (const Bytes& query : {ComPort(SET_BAUDRATE, {0, 0, 0, 0}), ComPort(SET_DATASIZE, {0}),
                             ComPort(SET_PARITY, {0}), ComPort(SET_STOPSIZE, {0})}) {
    expected.insert(expected.end(), query.begin(), query.end());
  }
  EXPECT_EQ(script->TakeSent(), expected);
}

TEST_F(RemoteSerialPortTest, StartFailsWhenTheServerClosesAndWaitsNoLongerThanItsLimits) {
  // A server that cannot open its device says so and closes.
  script->Arrive(1, {'P', 'o', 'r', 't', ' ', 'i', 'n', ' ', 'u', 's', 'e'});
  script->CloseAfter(1);
  RemoteSerialPort closed(std::make_unique<ScriptedConnection>(script), RemoteProtocol::Rfc2217,
                          clock);
  SystemError error = 0;
  EXPECT_FALSE(closed.Start(error));
  EXPECT_EQ(error, ConnectionClosedError());

  // One that keeps silent is taken as it is after the answer's time limit (raw: the settle time).
  for (const auto& [protocol, limit] : {std::pair{RemoteProtocol::Rfc2217, REMOTE_ANSWER_MS},
                                        std::pair{RemoteProtocol::RawTcp, REMOTE_SETTLE_MS}}) {
    auto silent = std::make_shared<Script>(clock);
    RemoteSerialPort quiet(std::make_unique<ScriptedConnection>(silent), protocol, clock);
    const uint64_t begun = clock.NowMs();
    EXPECT_TRUE(quiet.Start(error));
    EXPECT_EQ(clock.NowMs() - begun, limit);
    silent->CloseAfter(0);  // the close does not wait
  }
}

TEST_F(RemoteSerialPortTest, RawTcpSendsNoTelnetAtAll) {
  Started(RemoteProtocol::RawTcp);
  ASSERT_TRUE(port->SetLineSettings(LineSettings{115200, 8, NO_PARITY, ONE_STOP_BIT}));
  ASSERT_TRUE(port->Purge());
  LinkTimeouts(1000, 2000);
  const Bytes data = {0x57, 0xAB, 0xFF, 0x00};
  EXPECT_EQ(port->Write(data.data(), 4).count, 4u);
  EXPECT_EQ(script->TakeSent(), data);
  script->Arrive(0, {0xFF, 0xFF});
  uint8_t got[2] = {};
  EXPECT_EQ(port->Read(got, 2).count, 2u);
  EXPECT_THAT(got, ElementsAre(0xFF, 0xFF));
}

TEST_F(RemoteSerialPortTest, ReadGivesUpAtItsTotalTimeWithWhatArrived) {
  Started();
  LinkTimeouts(1000, 2000);
  const uint64_t begun = clock.NowMs();
  script->Arrive(5, {0x57, IAC, IAC});
  script->Arrive(10, ComPort(SERVER_OFFSET + NOTIFY_MODEMSTATE, {0x30}));
  script->Arrive(20, {0xAB});
  uint8_t reply[6] = {};
  const IoResult read = port->Read(reply, 6);
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.count, 3u);
  EXPECT_THAT(Bytes(reply, reply + 3), ElementsAre(0x57, 0xFF, 0xAB));
  EXPECT_EQ(clock.NowMs() - begun, 6u * 1000 + 2000);
}

TEST_F(RemoteSerialPortTest, ReadEndsAsSoonAsTheWholeReplyIsThere) {
  Started();
  LinkTimeouts(1000, 2000);
  const uint64_t begun = clock.NowMs();
  script->Arrive(7, {0x57, 0xAB, 0x82, 0x00, 0x00, 0x82, 0x99});
  uint8_t reply[6] = {};
  EXPECT_EQ(port->Read(reply, 6).count, 6u);
  EXPECT_EQ(clock.NowMs() - begun, 7u);
  uint32_t queued = 0;
  ASSERT_TRUE(port->QueuedInput(queued));
  EXPECT_EQ(queued, 1u) << "the byte beyond the reply stays queued";
}

// The interval rule counts from the last data byte: a server's Telnet commands, which wake the
// wait without data, do not restart it. No interval wait without totals returns at once.
TEST_F(RemoteSerialPortTest, ReadIntervalCountsFromTheLastByteAndNoWaitReturnsAtOnce) {
  Started();
  port->SetTimeouts({50, 0, 0, 0, 0});
  const uint64_t begun = clock.NowMs();
  script->Arrive(10, {0x57, 0xAB});
  script->Arrive(40, ComPort(SERVER_OFFSET + NOTIFY_MODEMSTATE, {0x30}));
  script->Arrive(80, ComPort(SERVER_OFFSET + NOTIFY_MODEMSTATE, {0x20}));
  script->Arrive(500, {0x82});
  uint8_t reply[6] = {};
  IoResult read = port->Read(reply, 6);
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.count, 2u);
  EXPECT_EQ(clock.NowMs() - begun, 10u + 50u);

  port->SetTimeouts({NO_INTERVAL_WAIT, 0, 0, 0, 0});
  const uint64_t again = clock.NowMs();
  read = port->Read(reply, 6);
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.count, 0u);
  EXPECT_EQ(clock.NowMs(), again) << "waited although told to return at once";
}

TEST_F(RemoteSerialPortTest, QueuedInputCountsArrivedDataNotTelnet) {
  Started();
  script->Arrive(0, {1, 2, IAC, IAC});
  script->Arrive(0, ComPort(SERVER_OFFSET + NOTIFY_LINESTATE, {0x60}));
  script->Arrive(0, {3});
  script->Arrive(50, {4});
  uint32_t queued = 0;
  ASSERT_TRUE(port->QueuedInput(queued));
  EXPECT_EQ(queued, 4u);
  clock.Advance(50);
  ASSERT_TRUE(port->QueuedInput(queued));
  EXPECT_EQ(queued, 5u);
}

TEST_F(RemoteSerialPortTest, PurgeDropsWhatArrivedAndAsksTheServerWithoutWaiting) {
  Started();
  script->Arrive(0, {9, 9, 9});
  const uint64_t begun = clock.NowMs();
  ASSERT_TRUE(port->Purge());
  EXPECT_EQ(clock.NowMs(), begun);
  EXPECT_EQ(script->TakeSent(), ComPort(PURGE_DATA, {PURGE_BOTH}));
  uint32_t queued = 1;
  ASSERT_TRUE(port->QueuedInput(queued));
  EXPECT_EQ(queued, 0u);
  // The server's answer comes among the next reply and is taken out of it.
  script->Arrive(0, ComPort(SERVER_OFFSET + PURGE_DATA, {PURGE_BOTH}));
  script->Arrive(0, {0x57});
  ASSERT_TRUE(port->QueuedInput(queued));
  EXPECT_EQ(queued, 1u);
}

TEST_F(RemoteSerialPortTest, LineSettingsGoOutAsComPortCommandsWithoutWaiting) {
  Started();
  const uint64_t begun = clock.NowMs();
  ASSERT_TRUE(port->SetLineSettings(LineSettings{115200, 8, NO_PARITY, ONE_STOP_BIT}));
  EXPECT_EQ(clock.NowMs(), begun);
  Bytes expected;
  for (const Bytes& command :
       {ComPort(SET_BAUDRATE, {0x00, 0x01, 0xC2, 0x00}), ComPort(SET_DATASIZE, {8}),
        ComPort(SET_PARITY, {PARITY_NONE}), ComPort(SET_STOPSIZE, {STOPSIZE_ONE}),
        ComPort(SET_CONTROL, {CONTROL_NO_FLOW_CONTROL})}) {
    expected.insert(expected.end(), command.begin(), command.end());
  }
  EXPECT_EQ(script->TakeSent(), expected);
  LineSettings line;
  ASSERT_TRUE(port->GetLineSettings(line));
  EXPECT_EQ(line.baudRate, 115200u);

  ASSERT_TRUE(port->SetLineSettings(LineSettings{9600, 7, 2, 2}));  // even parity, two stop bits
  const Bytes sent = script->TakeSent();
  const Bytes evenParity = ComPort(SET_PARITY, {3});
  const Bytes twoStopBits = ComPort(SET_STOPSIZE, {STOPSIZE_TWO});
  EXPECT_NE(std::search(sent.begin(), sent.end(), evenParity.begin(), evenParity.end()),
            sent.end());
  EXPECT_NE(std::search(sent.begin(), sent.end(), twoStopBits.begin(), twoStopBits.end()),
            sent.end());
  for (const LineSettings& bad : {LineSettings{0, 8, 0, 0}, LineSettings{9600, 9, 0, 0},
                                  LineSettings{9600, 8, 5, 0}, LineSettings{9600, 8, 0, 3}}) {
    EXPECT_FALSE(port->SetLineSettings(bad));
  }
  EXPECT_THAT(script->TakeSent(), IsEmpty());
}

TEST_F(RemoteSerialPortTest, WriteEscapesFFAndCountsDataBytes) {
  Started();
  LinkTimeouts(1000, 2000);
  const Bytes frame = {0x57, 0xAB, 0xFF, 0x01};
  const IoResult written = port->Write(frame.data(), 4);
  EXPECT_TRUE(written.ok);
  EXPECT_EQ(written.count, 4u);
  EXPECT_THAT(script->TakeSent(), ElementsAre(0x57, 0xAB, 0xFF, 0xFF, 0x01));
}

TEST_F(RemoteSerialPortTest, WriteThatRunsOutOfTimeCountsWhatWentAndKeepsTheStreamWhole) {
  Started();
  LinkTimeouts(1000, 2000);  // writes: 50 x bytes + 500 ms
  script->room = 3;          // takes 0x57 0xAB and the first half of the doubled 0xFF
  const Bytes frame = {0x57, 0xAB, 0xFF, 0x01};
  const uint64_t begun = clock.NowMs();
  const IoResult written = port->Write(frame.data(), 4);
  EXPECT_TRUE(written.ok);
  EXPECT_EQ(written.count, 3u);
  EXPECT_EQ(clock.NowMs() - begun, 4u * 50 + 500);
  EXPECT_THAT(script->TakeSent(), ElementsAre(0x57, 0xAB, 0xFF));
  script->room = 100;
  const uint8_t next = 0x02;
  EXPECT_EQ(port->Write(&next, 1).count, 1u);
  EXPECT_THAT(script->TakeSent(), ElementsAre(0xFF, 0x02)) << "the 0xFF is finished first";
}

TEST_F(RemoteSerialPortTest, SuspendedByTheServerWritesWaitForResumeOrTheirLimit) {
  Started();
  LinkTimeouts(1000, 2000);
  script->Arrive(0, ComPort(SERVER_OFFSET + FLOWCONTROL_SUSPEND, {}));
  uint32_t queued = 0;
  port->QueuedInput(queued);
  const uint8_t byte = 0x42;
  uint64_t begun = clock.NowMs();
  EXPECT_EQ(port->Write(&byte, 1).count, 0u);
  EXPECT_EQ(clock.NowMs() - begun, 550u);
  EXPECT_THAT(script->TakeSent(), IsEmpty());

  script->Arrive(100, ComPort(SERVER_OFFSET + FLOWCONTROL_RESUME, {}));
  begun = clock.NowMs();
  EXPECT_EQ(port->Write(&byte, 1).count, 1u);
  EXPECT_EQ(clock.NowMs() - begun, 100u);
  EXPECT_THAT(script->TakeSent(), ElementsAre(0x42));
}

TEST_F(RemoteSerialPortTest, ConnectionClosedByTheServerFailsTheReadWithWhatArrived) {
  Started();
  LinkTimeouts(1000, 2000);
  script->Arrive(5, {0x57, 0xAB});
  script->CloseAfter(6);
  uint8_t reply[6] = {};
  const uint64_t begun = clock.NowMs();
  const IoResult read = port->Read(reply, 6);
  EXPECT_FALSE(read.ok);
  EXPECT_EQ(read.count, 2u);
  EXPECT_EQ(read.error, ConnectionClosedError());
  EXPECT_EQ(clock.NowMs() - begun, 6u) << "at once, not at the time limit";
  uint32_t queued = 0;
  EXPECT_FALSE(port->QueuedInput(queued));
  EXPECT_FALSE(port->Write(reply, 1).ok);
  EXPECT_FALSE(port->Purge());
}

TEST_F(RemoteSerialPortTest, CloseEndsSendingAndWaitsOnlyUntilTheServerHasClosed) {
  Started();
  script->CloseAfter(30);
  const uint64_t begun = clock.NowMs();
  port.reset();
  EXPECT_TRUE(script->endedSending);
  EXPECT_EQ(clock.NowMs() - begun, 30u);

  auto silent = std::make_shared<Script>(clock);
  silent->Arrive(0, BAUD_ANSWER);
  auto other = std::make_unique<RemoteSerialPort>(std::make_unique<ScriptedConnection>(silent),
                                                  RemoteProtocol::Rfc2217, clock);
  SystemError error = 0;
  ASSERT_TRUE(other->Start(error));
  const uint64_t closing = clock.NowMs();
  other.reset();
  EXPECT_EQ(clock.NowMs() - closing, REMOTE_CLOSE_MS) << "a server that keeps it open";
}

// Every wait of the port (the connection, the server's answer, a read, a write into a full
// connection, the close) ends at the moment of a cancel, the call fails with CancelledError(),
// and every later call fails at once without sending anything.
TEST_F(RemoteSerialPortTest, CancelEndsEveryWaitAtOnceAndEveryLaterCall) {
  constexpr uint64_t CANCEL_AFTER_MS = 7;
  const std::vector<std::string> waits = {"connect", "answer", "read", "write", "close"};
  for (const std::string& wait : waits) {
    SCOPED_TRACE(wait);
    script = std::make_shared<Script>(clock);
    std::unique_ptr<RemoteSerialPort> remote;
    if (wait == "connect" || wait == "answer") {
      remote = std::make_unique<RemoteSerialPort>(std::make_unique<ScriptedConnection>(script),
                                                  RemoteProtocol::Rfc2217, clock);
      script->connectMs = wait == "connect" ? REMOTE_CONNECT_MS : 0;
    } else {
      Started();
      LinkTimeouts(1000, 2000);
      remote = std::move(port);
    }
    // Through the port itself: the close's wait comes while the pointer is being reset.
    script->CancelAfter(CANCEL_AFTER_MS, [raw = remote.get()] { raw->Cancel(); });
    const uint64_t begun = clock.NowMs();
    SystemError error = 0;
    uint8_t bytes[6] = {};
    if (wait == "connect") {
      EXPECT_FALSE(remote->Connect(RemoteAddress{}, error));
    } else if (wait == "answer") {
      ASSERT_TRUE(remote->Connect(RemoteAddress{}, error));
      EXPECT_FALSE(remote->Start(error));
    } else if (wait == "read") {
      const IoResult read = remote->Read(bytes, sizeof bytes);
      EXPECT_FALSE(read.ok);
      error = read.error;
    } else if (wait == "write") {
      script->room = 0;
      const IoResult written = remote->Write(bytes, sizeof bytes);
      EXPECT_FALSE(written.ok);
      error = written.error;
    } else {
      remote.reset();
      error = CancelledError();
    }
    EXPECT_EQ(error, CancelledError());
    EXPECT_EQ(clock.NowMs() - begun, CANCEL_AFTER_MS);
    if (!remote) continue;

    script->TakeSent();
    script->room = 100;
    script->Arrive(0, {0x57});
    EXPECT_EQ(remote->Read(bytes, 1).error, CancelledError());
    EXPECT_EQ(remote->Write(bytes, 1).error, CancelledError());
    uint32_t queued = 0;
    EXPECT_FALSE(remote->QueuedInput(queued));
    EXPECT_FALSE(remote->Purge());
    EXPECT_FALSE(remote->SetLineSettings(LineSettings{115200, 8, NO_PARITY, ONE_STOP_BIT}));
    const uint64_t closing = clock.NowMs();
    remote.reset();
    EXPECT_EQ(clock.NowMs(), closing) << "the close does not wait";
    EXPECT_THAT(script->TakeSent(), IsEmpty());
  }
}

// Hands out one port made beforehand, as a backend hands out the port it opened.
class OnePort final : public SerialPorts {
 public:
  explicit OnePort(std::unique_ptr<SerialPort> port) : port_(std::move(port)) {}
  std::unique_ptr<SerialPort> Open(const std::string&, SystemError&) override {
    return std::move(port_);
  }

 private:
  std::unique_ptr<SerialPort> port_;
};

// A run's ports come through cancel switches (its time limit inside the command's, for signals):
// a cancel that comes while the port waits for the server to close ends that wait too, whichever
// switch it comes through.
TEST_F(RemoteSerialPortTest, ACancelThroughASwitchEndsTheClosesWait) {
  constexpr uint64_t CANCEL_AFTER_MS = 7;
  enum class Firing { OnlySwitch, RunsSwitch, CommandsSwitch };
  const std::vector<std::pair<Firing, const char*>> cases = {
      {Firing::OnlySwitch, "one switch"},
      {Firing::RunsSwitch, "the run's switch inside the command's"},
      {Firing::CommandsSwitch, "the command's switch around the run's"},
  };
  for (const auto& [firing, name] : cases) {
    SCOPED_TRACE(name);
    script = std::make_shared<Script>(clock);  // a server that keeps the connection open
    Started();
    OnePort ports(std::move(port));
    CancelSwitch command(ports, clock);
    std::optional<CancelSwitch> run;
    if (firing != Firing::OnlySwitch) run.emplace(command.Ports(), clock);
    SystemError error = 0;
    std::unique_ptr<SerialPort> opened =
        (run ? run->Ports() : command.Ports()).Open("rfc2217://fixture:4000", error);
    ASSERT_NE(opened, nullptr);
    CancelSwitch& fires = firing == Firing::RunsSwitch ? *run : command;
    script->CancelAfter(CANCEL_AFTER_MS, [&fires] { fires.Cancel(); });
    const uint64_t closing = clock.NowMs();
    opened.reset();
    EXPECT_TRUE(script->endedSending);
    EXPECT_EQ(clock.NowMs() - closing, CANCEL_AFTER_MS);
  }
}

// A server that sends Telnet commands without end, and no data: every wait still ends at its own
// limit or at a cancel, within the few milliseconds one pump may take.
TEST_F(RemoteSerialPortTest, ServerFloodingTelnetCommandsLeavesEveryWaitItsLimitAndItsCancel) {
  constexpr uint64_t FLOOD_MS = 20000;
  constexpr uint64_t PUMP_SLACK_MS = 20;
  constexpr uint64_t CANCEL_AFTER_MS = 50;
  constexpr uint8_t NOP = 241;
  struct Flood {
    const char* name;
    Bytes head;
    Bytes body;
  };
  const std::vector<Flood> floods = {
      {"nop", {}, {IAC, NOP}},
      {"endless subnegotiation", {IAC, SB, COM_PORT}, {SERVER_OFFSET + SET_BAUDRATE, 0}},
      {"unknown option asked again and again", {}, {IAC, DO, 99}},
  };
  for (const Flood& flood : floods) {
    for (const bool cancel : {false, true}) {
      SCOPED_TRACE(std::string(flood.name) + (cancel ? ", cancelled" : ", at the limit"));
      script = std::make_shared<Script>(clock);
      Started();
      LinkTimeouts(10, 100);
      script->Flood(flood.head, flood.body, FLOOD_MS);
      if (cancel) script->CancelAfter(CANCEL_AFTER_MS, [raw = port.get()] { raw->Cancel(); });
      const uint64_t begun = clock.NowMs();
      uint8_t reply[6] = {};
      const IoResult read = port->Read(reply, sizeof reply);
      const uint64_t took = clock.NowMs() - begun;
      EXPECT_EQ(read.count, 0u);
      if (cancel) {
        EXPECT_FALSE(read.ok);
        EXPECT_EQ(read.error, CancelledError());
      }
      const uint64_t limit = cancel ? CANCEL_AFTER_MS : 6 * 10 + 100;
      EXPECT_GE(took, limit);
      EXPECT_LE(took, limit + PUMP_SLACK_MS);

      // The close waits for the server's end no longer than its own limit.
      const uint64_t closing = clock.NowMs();
      port.reset();
      EXPECT_LE(clock.NowMs() - closing, REMOTE_CLOSE_MS + PUMP_SLACK_MS);
    }
  }

  // The opening's wait for the server's answer, too.
  script = std::make_shared<Script>(clock);
  script->Flood({}, {IAC, NOP}, FLOOD_MS);
  RemoteSerialPort opening(std::make_unique<ScriptedConnection>(script), RemoteProtocol::Rfc2217,
                           clock);
  const uint64_t begun = clock.NowMs();
  SystemError error = 0;
  opening.Start(error);
  EXPECT_LE(clock.NowMs() - begun, REMOTE_ANSWER_MS + PUMP_SLACK_MS);
}

// Answers to a server that asks without end pile up while it reads nothing: the connection then
// fails with the system's words for it, instead of holding ever more. A server that reads them
// keeps its connection.
TEST_F(RemoteSerialPortTest, AnswersAServerLeavesUnreadAreBounded) {
  for (const bool reads : {true, false}) {
    SCOPED_TRACE(reads ? "a server that reads" : "a server that does not read");
    script = std::make_shared<Script>(clock);
    Started();
    LinkTimeouts(10, 100);
    if (!reads) script->room = 0;
    script->Flood({}, {IAC, DO, 99}, 20000);
    uint8_t reply[6] = {};
    const IoResult read = port->Read(reply, sizeof reply);
    EXPECT_EQ(read.ok, reads);
    EXPECT_EQ(read.error, reads ? 0 : NoRoomError());
    if (reads) {
      EXPECT_THAT(Bytes(script->sent.begin(), script->sent.begin() + 3),
                  ElementsAre(IAC, WONT, 99));
    }
    port.reset();
  }
}

}  // namespace
}  // namespace iapflash
