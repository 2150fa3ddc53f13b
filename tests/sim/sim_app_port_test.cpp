// A simulated application's port waits as a real one does: a silent application's read ends at
// the port's time limit, or at once when the run is cancelled; an answer outlives its sender.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "sim/sim_app_device.h"
#include "virtual_clock.h"

namespace iapflash {
namespace {

// Virtual time that makes a cancel (another thread's, in a real run) once it reaches a moment.
class CancellingClock final : public Clock {
 public:
  void SleepMs(uint32_t ms) override {
    inner.SleepMs(ms);
    if (cancel && inner.NowMs() >= cancelAt) std::exchange(cancel, nullptr)();
  }
  uint64_t NowMs() override { return inner.NowMs(); }

  testing::VirtualClock inner;
  uint64_t cancelAt = 0;
  std::function<void()> cancel;
};

TEST(SimAppSerialPort, ASilentApplicationsReadEndsAtItsLimitOrAtACancel) {
  constexpr uint64_t CANCEL_AFTER_MS = 300;
  constexpr uint64_t SLICE_MS = 50;
  for (const bool cancelled : {false, true}) {
    SCOPED_TRACE(cancelled ? "cancelled" : "at the limit");
    CancellingClock clock;
    SimAppSerialPort port(std::make_shared<SimAppDevice>(SimAppBehaviour::Silent, 0), true, clock,
                          std::make_shared<bool>(true), std::make_shared<std::mutex>());
    SerialTimeouts timeouts;
    timeouts.readMultiplier = 1;
    timeouts.readConstant = 2000;
    port.SetTimeouts(timeouts);
    const uint64_t begun = clock.NowMs();
    if (cancelled) {
      clock.cancelAt = begun + CANCEL_AFTER_MS;
      clock.cancel = [&port] { port.Cancel(); };
    }
    uint8_t reply[14] = {};
    const IoResult read = port.Read(reply, sizeof reply);
    const uint64_t took = clock.NowMs() - begun;
    EXPECT_EQ(read.count, 0u);
    if (!cancelled) {
      EXPECT_TRUE(read.ok);
      EXPECT_EQ(took, 2014u);
      continue;
    }
    EXPECT_FALSE(read.ok);
    EXPECT_EQ(read.error, CancelledError());
    EXPECT_GE(took, CANCEL_AFTER_MS);
    EXPECT_LE(took, CANCEL_AFTER_MS + SLICE_MS);
    EXPECT_EQ(port.Write(reply, 1).error, CancelledError()) << "later transfers fail at once";
  }
}

// Other devices' waits move a shared clock: the application may leave between the request and
// the read of its answer. The answer reached the host first and is read whole; after it, the
// port is gone.
TEST(SimAppSerialPort, AnAnswerSentBeforeTheApplicationLeftIsStillRead) {
  testing::VirtualClock clock;
  const auto device = std::make_shared<SimAppDevice>(SimAppBehaviour::Switches, 500);
  SimAppSerialPort port(device, true, clock, std::make_shared<bool>(true),
                        std::make_shared<std::mutex>());
  const std::string request = "#K!Q%T&_BLD*907M";
  ASSERT_TRUE(port.Write(reinterpret_cast<const uint8_t*>(request.data()),
                         static_cast<uint32_t>(request.size()))
                  .ok);
  clock.Advance(600);
  device->Leave();
  char reply[14] = {};
  const IoResult read = port.Read(reinterpret_cast<uint8_t*>(reply), sizeof reply);
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(std::string(reply, read.count), "Enter?IAP?Mode");
  const IoResult after = port.Read(reinterpret_cast<uint8_t*>(reply), sizeof reply);
  EXPECT_FALSE(after.ok);
  EXPECT_EQ(after.count, 0u);
}

// The simulated port waits by the same rules as the real ones: no totals is no limit (a silent
// application's read then ends only at a cancel), and the interval rule ends a read that has
// bytes once no more come.
TEST(SimAppSerialPort, ReadsKeepThePortsTimeoutRules) {
  constexpr uint64_t CANCEL_AFTER_MS = 5000;
  CancellingClock clock;
  {
    SimAppSerialPort silent(std::make_shared<SimAppDevice>(SimAppBehaviour::Silent, 0), true, clock,
                            std::make_shared<bool>(true), std::make_shared<std::mutex>());
    silent.SetTimeouts({0, 0, 0, 0, 0});
    const uint64_t begun = clock.NowMs();
    clock.cancelAt = begun + CANCEL_AFTER_MS;
    clock.cancel = [&silent] { silent.Cancel(); };
    uint8_t reply[14] = {};
    const IoResult read = silent.Read(reply, sizeof reply);
    EXPECT_FALSE(read.ok) << "a read without totals returned before the cancel";
    EXPECT_EQ(read.error, CancelledError());
    EXPECT_GE(clock.NowMs() - begun, CANCEL_AFTER_MS);
  }
  {
    SimAppSerialPort port(std::make_shared<SimAppDevice>(SimAppBehaviour::Switches, 500), true,
                          clock, std::make_shared<bool>(true), std::make_shared<std::mutex>());
    port.SetTimeouts({20, 1, 2000, 0, 0});
    const std::string request = "#K!Q%T&_BLD*907M";
    ASSERT_TRUE(port.Write(reinterpret_cast<const uint8_t*>(request.data()),
                           static_cast<uint32_t>(request.size()))
                    .ok);
    const uint64_t begun = clock.NowMs();
    char reply[32] = {};
    const IoResult read = port.Read(reinterpret_cast<uint8_t*>(reply), sizeof reply);
    EXPECT_TRUE(read.ok);
    EXPECT_EQ(std::string(reply, read.count), "Enter?IAP?Mode");
    EXPECT_EQ(clock.NowMs() - begun, 20u) << "the interval after the last byte ends the read";
  }
}

}  // namespace
}  // namespace iapflash
