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

#include "link/mode_switch.h"
#include "recording_panel.h"
#include "sim/sim_bus.h"
#include "virtual_clock.h"

namespace iapflash {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using testing::RecordingEvents;
using testing::RecordingPanel;
using testing::VirtualClock;

constexpr const char* ADDRESS = "rfc2217://fixture-3:4001";

// A server whose device answers the request on the first connection, is away for the next
// `awayOpens` connections (the server cannot open it) and is there again after that.
class Server final : public SerialPorts {
 public:
  explicit Server(int awayOpens) : away_(awayOpens) {}
  std::unique_ptr<SerialPort> Open(const std::string& name, SystemError& error) override {
    opened.push_back(name);
    if (opened.size() == 1) return std::make_unique<Application>();
    if (away_-- > 0) {
      error = 104;
      return nullptr;
    }
    return std::make_unique<Application>();
  }
  std::vector<std::string> opened;

 private:
  class Application final : public SerialPort {
   public:
    bool SetQueueSizes(uint32_t, uint32_t) override { return true; }
    bool GetTimeouts(SerialTimeouts&) override { return true; }
    bool SetTimeouts(const SerialTimeouts&) override { return true; }
    bool Purge() override { return true; }
    bool GetLineSettings(LineSettings&) override { return true; }
    bool SetLineSettings(const LineSettings&) override { return true; }
    bool QueuedInput(uint32_t& count) override {
      count = 0;
      return true;
    }
    IoResult Read(uint8_t* buffer, uint32_t size) override {
      const uint32_t n = std::min<uint32_t>(size, IAP_MODE_REPLY.size());
      std::memcpy(buffer, IAP_MODE_REPLY.data(), n);
      return IoResult{true, n, 0};
    }
    IoResult Write(const uint8_t*, uint32_t size) override { return IoResult{true, size, 0}; }
  };
  int away_;
};

struct Outcome {
  bool switched;
  std::string port;
  std::vector<std::string> lines;
  std::vector<uint32_t> sleeps;
  std::vector<std::string> opened;
};

Outcome Switch(int awayOpens) {
  VirtualClock clock;
  RecordingPanel panel;
  RecordingEvents events;
  Server server(awayOpens);
  // The machine's own devices play no part; the tree is there because a link has one.
  const auto bus = MakeSimulatedBus("demo", clock);
  LinkEnv env{server, bus->Tree(), clock, panel, events};
  const std::optional<std::string> port = EnterIapMode(env, ADDRESS, "");
  return Outcome{port.has_value(), port.value_or(""), panel.Lines(), clock.Sleeps(), server.opened};
}

TEST(RemoteModeSwitch, ComebackIsTheSameAddressOpenedAgainAfterAWait) {
  const Outcome run = Switch(2);
  ASSERT_TRUE(run.switched);
  EXPECT_EQ(run.port, ADDRESS);
  EXPECT_THAT(run.lines,
              ElementsAre(std::string("    ") + ADDRESS + "打开成功", "    开始切换至IAP模式",
                          std::string("....已切换,端口:") + ADDRESS));
  // Never at once: the application may not have left yet.
  EXPECT_THAT(run.sleeps, ElementsAre(200u, 200u, 200u));
  EXPECT_THAT(run.opened, Each(ADDRESS));
  EXPECT_EQ(run.opened.size(), 4u);
}

TEST(RemoteModeSwitch, DeviceThatNeverComesBackFailsAfterFifteenTries) {
  const Outcome run = Switch(1000);
  EXPECT_FALSE(run.switched);
  EXPECT_EQ(run.sleeps.size(), 15u);
  EXPECT_THAT(run.sleeps, Each(200u));
  EXPECT_EQ(run.opened.size(), 16u);
  EXPECT_EQ(run.lines.back(), std::string(16, '.'));
}

}  // namespace
}  // namespace iapflash
