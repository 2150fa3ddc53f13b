#include "application_on_pty.h"

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "platform/clock.h"

namespace iapflash::testing {

ApplicationOnPty::ApplicationOnPty(std::filesystem::path link, std::string bootPath,
                                   uint32_t leavesAfterMs)
    : device_(SimAppBehaviour::Switches, leavesAfterMs),
      link_(std::move(link)),
      bootPath_(std::move(bootPath)) {
  char name[128] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) throw std::runtime_error("pty");
  termios raw{};
  tcgetattr(master_, &raw);
  cfmakeraw(&raw);
  tcsetattr(master_, TCSANOW, &raw);
  std::filesystem::create_symlink(name, link_);
  thread_ = std::thread([this] { Run(); });
}

ApplicationOnPty::~ApplicationOnPty() {
  stop_ = true;
  thread_.join();
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
}

void ApplicationOnPty::Run() {
  Clock& clock = SystemClock();
  while (!stop_) {
    const uint64_t now = clock.NowMs();
    const auto leavesAt = device_.LeavesAt();
    if (leavesAt && master_ >= 0 && now >= *leavesAt) {
      std::filesystem::remove(link_);
      close(master_);
      close(slave_);
      master_ = slave_ = -1;
    }
    if (leavesAt && master_ < 0 && !back_ && now >= *leavesAt + BACK_AFTER_MS) {
      std::filesystem::create_symlink(bootPath_, link_);
      back_ = true;
    }
    if (master_ < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, 5) > 0 && (p.revents & POLLIN)) {
      uint8_t buffer[256];
      const ssize_t got = read(master_, buffer, sizeof buffer);
      if (got > 0) device_.Receive(buffer, static_cast<uint32_t>(got), clock.NowMs());
    }
    uint8_t reply[64];
    const uint32_t n = device_.Take(reply, sizeof reply);
    if (n > 0) (void)!write(master_, reply, n);
  }
}

}  // namespace iapflash::testing
