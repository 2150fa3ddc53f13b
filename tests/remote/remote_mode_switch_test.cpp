// The mode switch of a device behind a serial-to-network server: its comeback is found by
// opening the same address again.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agreeable_port.h"
#include "link/mode_switch.h"
#include "recording_panel.h"
#include "sim/sim_bus.h"
#include "virtual_clock.h"

namespace iapflash {
namespace {

using testing::AgreeablePort;
using ::testing::Each;
using ::testing::ElementsAre;
using testing::RecordingEvents;
using testing::RecordingPanel;
using testing::VirtualClock;

constexpr const char* ADDRESS = "rfc2217://fixture-3:4001";

constexpr uint64_t NEVER = UINT64_MAX;

// A server whose device answers the request on the first connection and hangs that connection up
// hangUpAfterMs later (NEVER: a server that keeps it); then it is away for the next `awayOpens`
// connections (the server cannot open it), drops the next `droppedOpens` at once, and is there
// again after that.
class Server final : public SerialPorts {
 public:
  Server(VirtualClock& clock, uint64_t hangUpAfterMs, int awayOpens, int droppedOpens = 0)
      : clock_(clock), hangUpAfterMs_(hangUpAfterMs), away_(awayOpens), dropped_(droppedOpens) {}
  std::unique_ptr<SerialPort> Open(const std::string& name, SystemError& error) override {
    opened.push_back(name);
    if (opened.size() == 1) {
      const uint64_t at = hangUpAfterMs_ == NEVER ? NEVER : clock_.NowMs() + hangUpAfterMs_;
      return std::make_unique<Application>(clock_, at);
    }
    if (away_-- > 0) {
      error = 104;
      return nullptr;
    }
    if (dropped_-- > 0) return std::make_unique<Application>(clock_, clock_.NowMs());
    return std::make_unique<Application>(clock_, NEVER);
  }
  std::vector<std::string> opened;

 private:
  class Application final : public AgreeablePort {
   public:
    Application(VirtualClock& clock, uint64_t hangUpAt) : clock_(clock), hangUpAt_(hangUpAt) {}
    bool QueuedInput(uint32_t& count) override {
      count = 0;
      return clock_.NowMs() < hangUpAt_;
    }
    IoResult Read(uint8_t* buffer, uint32_t size) override {
      const uint32_t n = std::min<uint32_t>(size, IAP_MODE_REPLY.size());
      std::memcpy(buffer, IAP_MODE_REPLY.data(), n);
      return IoResult{true, n, 0};
    }

   private:
    VirtualClock& clock_;
    uint64_t hangUpAt_;
  };
  VirtualClock& clock_;
  uint64_t hangUpAfterMs_;
  int away_;
  int dropped_;
};

struct Outcome {
  bool switched;
  std::string port;
  std::vector<std::string> lines;
  std::vector<uint32_t> sleeps;
  std::vector<std::string> opened;
};

Outcome Switch(uint64_t hangUpAfterMs, int awayOpens, int droppedOpens = 0) {
  VirtualClock clock;
  RecordingPanel panel;
  RecordingEvents events;
  Server server(clock, hangUpAfterMs, awayOpens, droppedOpens);
  // The machine's own devices play no part; the tree is there because a link has one.
  const auto bus = MakeSimulatedBus("demo", clock);
  LinkEnv env{server, bus->Tree(), clock, panel, events};
  const std::optional<std::string> port = EnterIapMode(env, ADDRESS, "");
  return Outcome{port.has_value(), port.value_or(""), panel.Lines(), clock.Sleeps(), server.opened};
}

std::vector<uint32_t> Repeated(std::size_t times, uint32_t ms) {
  return std::vector<uint32_t>(times, ms);
}

std::vector<uint32_t> Joined(std::vector<uint32_t> first, const std::vector<uint32_t>& then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}

// The application's connection stays until the server hangs it up (its device has left); only
// then is the address opened again, at once, and again after each pause while the server
// cannot open the device or drops the connection again.
TEST(RemoteModeSwitch, TheAddressIsOpenedAgainOnlyOnceTheServerHasHungUpTheApplication) {
  struct Case {
    const char* name;
    uint64_t hangUpAfterMs;
    int away;
    int dropped;
    std::vector<uint32_t> sleeps;
    std::string dots;  // after the request's own
  };
  const std::vector<Case> cases = {
      {"hangs up at once, back at once", 0, 0, 0, {}, ""},
      {"hangs up at once, back after two tries", 0, 2, 0, Repeated(2, 200), ".."},
      {"stays reachable 400 ms", 400, 0, 0, Repeated(20, REMOTE_HANGUP_STEP_MS), ""},
      {"dropped again once", 0, 1, 1, Repeated(2, 200), ".."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome run = Switch(c.hangUpAfterMs, c.away, c.dropped);
    ASSERT_TRUE(run.switched);
    EXPECT_EQ(run.port, ADDRESS);
    EXPECT_THAT(run.lines,
                ElementsAre(std::string("    ") + ADDRESS + "打开成功", "    开始切换至IAP模式",
                            "." + c.dots + "已切换,端口:" + ADDRESS));
    EXPECT_EQ(run.sleeps, c.sleeps);
    EXPECT_THAT(run.opened, Each(ADDRESS));
    EXPECT_EQ(run.opened.size(), static_cast<std::size_t>(2 + c.away + c.dropped));
  }
}

// A server that keeps the application's connection shows no hang-up: after the switch's time the
// fixed pause comes before every try, as the application may not have left yet.
TEST(RemoteModeSwitch, ComebackIsTheSameAddressOpenedAgainAfterAWait) {
  const Outcome run = Switch(NEVER, 2);
  ASSERT_TRUE(run.switched);
  EXPECT_EQ(run.port, ADDRESS);
  EXPECT_THAT(run.lines,
              ElementsAre(std::string("    ") + ADDRESS + "打开成功", "    开始切换至IAP模式",
                          std::string("....已切换,端口:") + ADDRESS));
  EXPECT_EQ(run.sleeps,
            Joined(Repeated(REMOTE_HANGUP_WAIT_MS / REMOTE_HANGUP_STEP_MS, REMOTE_HANGUP_STEP_MS),
                   Repeated(3, 200)));
  EXPECT_THAT(run.opened, Each(ADDRESS));
  EXPECT_EQ(run.opened.size(), 4u);
}

TEST(RemoteModeSwitch, DeviceThatNeverComesBackFailsAfterFifteenTries) {
  const Outcome run = Switch(0, 1000);
  EXPECT_FALSE(run.switched);
  EXPECT_EQ(run.sleeps, Repeated(15, 200));
  EXPECT_EQ(run.opened.size(), 16u);
  EXPECT_EQ(run.lines.back(), std::string(16, '.'));
}

}  // namespace
}  // namespace iapflash
