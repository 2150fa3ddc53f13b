#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace iapflash::cli {

class InterruptWatch;
class OutputQueue;

// Exit statuses of the command line.
inline constexpr int EXIT_RUN_SUCCEEDED = 0;
inline constexpr int EXIT_RUN_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;

struct FlashOptions {
  std::string file;
  std::optional<unsigned> device;
  std::vector<std::string> ports;  // each named once
  bool all = false;                // every device of one fresh scan
  bool iap = false;
  bool json = false;
  std::optional<uint64_t> timeoutMs;  // each device's whole run, in real time
  // The simulated bus's scenario; empty: the machine's own ports and devices.
  std::optional<std::string> scenario;
};

// The first port that leads to the same device as one before it, however spelt: ttyACM0 and
// /dev/ttyACM0, a link and its target, COM7 and com7, one server by its name and its address.
std::optional<std::string> PortNamedTwice(const std::vector<std::string>& ports);

// --timeout's SECONDS in milliseconds (rounded up): decimal digits with at most one decimal
// point, from 0.001 to 1000000 (over eleven days, past any station's patience); nothing for
// anything else (hex, exponents, signs, infinities, less than a millisecond).
std::optional<uint64_t> TimeoutMs(const std::string& text);

// Whether MakeSimulatedBus knows the scenario.
bool ScenarioExists(const std::string& scenario);

// `iapflash list`: a scan, its count line and the list lines on stdout.
int RunList(const std::optional<std::string>& scenario);
// `iapflash flash`: a download run per device, one device's log on stdout as the window shows
// it, several devices' lines each with its device's label and a summary table, or JSON events
// (--json); 0 when every run succeeded, 1 otherwise.
int RunFlash(const FlashOptions& options);

// The output queue's writer: the text to the stream whole, the system's words in error if not.
bool WriteStream(std::FILE* stream, std::string_view text, std::string& error);

// Once a command's runs have ended: its output written out, and what could not be written said
// on stderr. A write that failed makes the status 1 unless a signal set it; a signal that came
// while the output waited for a reader ends the command with the signal's status.
int FinishOutput(OutputQueue& output, int status, const InterruptWatch& interrupts);

}  // namespace iapflash::cli
