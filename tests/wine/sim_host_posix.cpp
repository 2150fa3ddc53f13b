// The Linux side of the Windows COM-port test: serves one simulated device on a pseudo-terminal,
// prints the terminal's path, and when told to stop (SIGTERM, SIGINT) writes what the device
// holds in its flash memory to MEMORY_FILE, so a download from Wine can be checked byte for byte.
//   wine_sim_host MEMORY_FILE
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <memory>

#include "platform/system_error.h"
#include "sim/pty_server_posix.h"
#include "sim/sim_device.h"

int main(int argc, char** argv) {
  using namespace iapflash;
  if (argc != 2) {
    std::fprintf(stderr, "usage: wine_sim_host MEMORY_FILE\n");
    return 2;
  }
  // Blocked before the bridge thread starts, so that only sigwait below takes them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  auto device = std::make_shared<SimDevice>();
  SystemError error = 0;
  auto server = PtyServer::Start(device, error);
  if (!server) {
    std::fprintf(stderr, "wine_sim_host: no pseudo-terminal: %s\n", SystemErrorText(error).c_str());
    return 1;
  }
  std::printf("%s\n", server->Path().c_str());
  std::fflush(stdout);

  int signal = 0;
  sigwait(&stopSignals, &signal);
  server.reset();
  const auto memory = device->Memory();
  std::ofstream out(argv[1], std::ios::binary);
  out.write(reinterpret_cast<const char*>(memory.data()),
            static_cast<std::streamsize>(memory.size()));
  return out ? 0 : 1;
}
