#pragma once

#include <optional>
#include <string>

namespace iapflash::cli {

// Exit statuses of the command line.
inline constexpr int EXIT_RUN_SUCCEEDED = 0;
inline constexpr int EXIT_RUN_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;

struct FlashOptions {
  std::string file;
  std::optional<unsigned> device;
  std::optional<std::string> port;
  bool iap = false;
  // The simulated bus's scenario; empty: the machine's own ports and devices.
  std::optional<std::string> scenario;
};

// Whether MakeSimulatedBus knows the scenario.
bool ScenarioExists(const std::string& scenario);

// `iapflash list`: a scan, its count line and the list lines on stdout.
int RunList(const std::optional<std::string>& scenario);
// `iapflash flash`: one download run, its log on stdout; 0 on success, 1 on failure.
int RunFlash(const FlashOptions& options);

}  // namespace iapflash::cli
