// The cancel switch reaches a port while its opening still waits (a remote server's answer).
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "agreeable_port.h"
#include "platform/cancel_switch.h"
#include "virtual_clock.h"

namespace iapflash {
namespace {

class CancellablePort final : public testing::AgreeablePort {
 public:
  explicit CancellablePort(int& cancels) : cancels_(cancels) {}
  void Cancel() override { ++cancels_; }

 private:
  int& cancels_;
};

// Opens that wait: what happens during the wait is the test's; the open fails when the port was
// cancelled meanwhile.
class WaitingPorts final : public SerialPorts {
 public:
  std::unique_ptr<SerialPort> Open(const std::string&, SystemError& error) override {
    error = 1;
    ADD_FAILURE() << "opened without a watch";
    return nullptr;
  }
  std::unique_ptr<SerialPort> OpenWatched(const std::string&, SystemError& error,
                                          OpeningPorts& opening) override {
    const int before = cancels;
    auto port = std::make_unique<CancellablePort>(cancels);
    opening.Opening(*port);
    if (duringWait) duringWait();
    if (cancels == before) return port;
    opening.Forget(*port);
    error = CancelledError();
    return nullptr;
  }

  int cancels = 0;
  std::function<void()> duringWait;
};

TEST(CancelSwitchOpen, ACancelDuringTheOpeningsWaitFailsTheOpenAndLaterCancelsLeaveItBe) {
  testing::VirtualClock clock;
  WaitingPorts ports;
  CancelSwitch cancel(ports, clock);
  ports.duringWait = [&cancel] { cancel.Cancel(); };
  SystemError error = 0;
  EXPECT_EQ(cancel.Ports().Open("rfc2217://fixture:4000", error), nullptr);
  EXPECT_EQ(error, CancelledError());
  EXPECT_EQ(ports.cancels, 1);
  cancel.Cancel();  // the failed port is gone: nothing may reach it
  EXPECT_EQ(ports.cancels, 1);
}

TEST(CancelSwitchOpen, AnOpenedPortIsCancelledByTheSwitchOnceItIsOpen) {
  testing::VirtualClock clock;
  WaitingPorts ports;
  CancelSwitch cancel(ports, clock);
  SystemError error = 0;
  const auto port = cancel.Ports().Open("rfc2217://fixture:4000", error);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(ports.cancels, 0);
  cancel.Cancel();
  EXPECT_EQ(ports.cancels, 1);
  EXPECT_EQ(port->Read(nullptr, 0).error, CancelledError());
}

// A run's switch (its time limit) opens through the command's (signals): either one ends the
// opening's wait and the open port, and neither reaches a port that is gone.
TEST(CancelSwitchOpen, ASwitchThatOpensThroughAnotherSeesTheWaitingPortToo) {
  for (const bool nested : {true, false}) {
    for (const bool duringWait : {true, false}) {
      SCOPED_TRACE(std::string(nested ? "the run's switch" : "the command's switch") +
                   (duringWait ? " during the wait" : " once open"));
      testing::VirtualClock clock;
      WaitingPorts ports;
      CancelSwitch command(ports, clock);
      CancelSwitch run(command.Ports(), clock);
      CancelSwitch& firing = nested ? run : command;
      if (duringWait) ports.duringWait = [&firing] { firing.Cancel(); };
      SystemError error = 0;
      std::unique_ptr<SerialPort> port = run.Ports().Open("rfc2217://fixture:4000", error);
      if (duringWait) {
        EXPECT_EQ(port, nullptr);
        EXPECT_EQ(error, CancelledError());
      } else {
        ASSERT_NE(port, nullptr);
        firing.Cancel();
        uint8_t byte = 0;
        EXPECT_EQ(port->Read(&byte, 1).error, CancelledError());
      }
      EXPECT_EQ(ports.cancels, 1);
      port.reset();
      command.Cancel();
      run.Cancel();
      EXPECT_EQ(ports.cancels, 1) << "a port that is gone was reached";
    }
  }
}

}  // namespace
}  // namespace iapflash
