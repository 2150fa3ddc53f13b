#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

#include "sim/sim_app_device.h"

namespace iapflash::testing {

// An application device on a pseudo-terminal: answers the mode-switch request, leaves soon after
// (its terminal hung up and its link gone, as a by-path link is while the device re-enumerates)
// and comes back as the boot program: the link then leads to the boot program's terminal.
class ApplicationOnPty {
 public:
  ApplicationOnPty(std::filesystem::path link, std::string bootPath, uint32_t leavesAfterMs);
  ~ApplicationOnPty();
  ApplicationOnPty(const ApplicationOnPty&) = delete;
  ApplicationOnPty& operator=(const ApplicationOnPty&) = delete;

  uint32_t Requests() const { return device_.Requests(); }

 private:
  static constexpr uint64_t BACK_AFTER_MS = 500;

  void Run();

  SimAppDevice device_;
  std::filesystem::path link_;
  std::string bootPath_;
  int master_ = -1;
  int slave_ = -1;
  bool back_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace iapflash::testing
