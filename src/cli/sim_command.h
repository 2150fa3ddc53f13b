#pragma once

#include <string>
#include <vector>

// `iapflash sim`: one simulated device served on a pseudo-terminal (sim_command_posix.cpp, and a
// *_win32.cpp that says it is not there).
namespace iapflash::cli {

struct SimOptions {
  unsigned baudRate = 0;
  unsigned latencyMs = 0;
  std::vector<std::string> faults;
  // Where the device's flash memory is written when the command ends (none when empty).
  std::string memoryFile;
};

// Whether `iapflash sim` exists on this OS.
bool SimCommandSupported();
// Serves one simulated device on a pseudo-terminal, prints its path on stdout, and runs until
// SIGINT or SIGTERM. Returns the exit status.
int RunSimCommand(const SimOptions& options);

}  // namespace iapflash::cli
