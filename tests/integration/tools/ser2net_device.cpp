// Serves a simulated device through ser2net for programs outside this build (the Windows build
// under Wine): prints the port name that reaches it, serves until SIGINT or SIGTERM, then writes
// the device's flash to the file given with --memory. --fault takes a simulated fault, as
// `iapflash sim` does.
//   ser2net_device [--tcp] [--memory FILE] [--fault FAULT]...
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sim/pty_server_posix.h"
#include "sim/ser2net_server_posix.h"
#include "sim/sim_device.h"
#include "sim/sim_fault.h"

int main(int argc, char** argv) {
  using namespace iapflash;
  RemoteProtocol protocol = RemoteProtocol::Rfc2217;
  std::string memoryFile;
  std::vector<SimFault> faults;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--tcp") == 0) {
      protocol = RemoteProtocol::RawTcp;
    } else if (std::strcmp(argv[i], "--memory") == 0 && i + 1 < argc) {
      memoryFile = argv[++i];
    } else if (std::strcmp(argv[i], "--fault") == 0 && i + 1 < argc && ParseSimFault(argv[i + 1])) {
      faults.push_back(*ParseSimFault(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: ser2net_device [--tcp] [--memory FILE] [--fault FAULT]...\n");
      return 2;
    }
  }
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  auto device = std::make_shared<SimDevice>();
  for (const SimFault& fault : faults) device->AddFault(fault);
  SystemError error = 0;
  const auto pty = PtyServer::Start(device, error);
  if (!pty) {
    std::fprintf(stderr, "no pseudo-terminal: %s\n", SystemErrorText(error).c_str());
    return 1;
  }
  std::string problem;
  auto server = Ser2netServer::Start(pty->Path(), protocol, problem);
  if (!server) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    return 1;
  }
  std::printf("%s\n", server->PortName().c_str());
  std::fflush(stdout);

  int signal = 0;
  sigwait(&stopSignals, &signal);
  server.reset();
  if (memoryFile.empty()) return 0;
  const auto memory = device->Memory();
  std::ofstream out(memoryFile, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(memory.data()),
            static_cast<std::streamsize>(memory.size()));
  return out ? 0 : 1;
}
