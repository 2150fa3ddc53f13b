#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "cli/sim_command.h"
#include "sim/pty_server_posix.h"
#include "sim/sim_device.h"

namespace iapflash::cli {

bool SimCommandSupported() {
  return true;
}

int RunSimCommand(const SimOptions& options) {
  // Blocked before the bridge thread starts, so that only sigwait below takes them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  auto device = std::make_shared<SimDevice>();
  SimWireTiming timing;
  timing.baudRate = options.baudRate;
  timing.latencyUs = options.latencyMs * 1000u;
  device->SetWireTiming(timing);
  for (const auto& text : options.faults) {
    const auto fault = ParseSimFault(text);
    if (!fault) {
      std::fprintf(stderr, "iapflash sim: unknown fault \"%s\"\n", text.c_str());
      return 2;
    }
    device->AddFault(*fault);
  }

  SystemError error = 0;
  const auto server = PtyServer::Start(device, error);
  if (!server) {
    std::fprintf(stderr, "iapflash sim: no pseudo-terminal: %s\n", SystemErrorText(error).c_str());
    return 1;
  }
  std::printf("%s\n", server->Path().c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "iapflash sim: serving a simulated device; Ctrl+C ends.\n");

  int signal = 0;
  sigwait(&stopSignals, &signal);
  if (options.memoryFile.empty()) return 0;
  const auto memory = device->Memory();
  std::ofstream out(options.memoryFile, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(memory.data()),
            static_cast<std::streamsize>(memory.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "iapflash sim: cannot write %s\n", options.memoryFile.c_str());
    return 1;
  }
  return 0;
}

}  // namespace iapflash::cli
