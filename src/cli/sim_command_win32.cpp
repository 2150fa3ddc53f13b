#include <cstdio>

#include "cli/sim_command.h"

namespace iapflash::cli {

// A simulated device on a pseudo-terminal needs POSIX; on Windows, --simulate serves instead.
bool SimCommandSupported() {
  return false;
}

int RunSimCommand(const SimOptions&) {
  std::fprintf(stderr, "iapflash sim: not available on Windows; use --simulate\n");
  return 2;
}

}  // namespace iapflash::cli
