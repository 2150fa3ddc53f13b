#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/remote/remote_address.h"

namespace iapflash {

// The system's ser2net, started on a free loopback port in front of a serial device path (a
// simulated device's pseudo-terminal, or a link to one), as a fixture computer would run it:
// one connection at a time, no modem lines, serial input passed on at once (chardelay off) and
// no delay of small segments. It opens the device anew for each connection.
class Ser2netServer {
 public:
  // Whether ser2net is installed.
  static bool Available();
  // Null on failure, with problem saying why. port: the loopback port to listen on (a server
  // that comes back where one went away); 0 for a free one. recordWrites: the server keeps a
  // copy of every byte it writes to the device (WrittenToDevice).
  static std::unique_ptr<Ser2netServer> Start(const std::string& devicePath,
                                              RemoteProtocol protocol, std::string& problem,
                                              uint16_t port = 0, bool recordWrites = false);
  // Ends the server (if it still runs) and removes its configuration.
  ~Ser2netServer();
  Ser2netServer(const Ser2netServer&) = delete;
  Ser2netServer& operator=(const Ser2netServer&) = delete;

  // The port name that reaches the device, e.g. rfc2217://127.0.0.1:40123.
  const std::string& PortName() const { return portName_; }
  uint16_t Port() const { return port_; }
  // What the server has written to the device so far, when started with recordWrites (empty
  // otherwise). It tells what reached the device's terminal even where the server's close, which
  // flushes the terminal, took bytes from a pseudo-terminal before the device could read them.
  std::vector<uint8_t> WrittenToDevice() const;
  // Kills the server at once, as a machine that goes down would.
  void Kill();

 private:
  Ser2netServer(pid_t pid, uint16_t port, std::filesystem::path folder, std::string portName);
  void Stop(int signal);

  pid_t pid_;
  uint16_t port_;
  std::filesystem::path folder_;
  std::string portName_;
};

// A loopback TCP port that nothing listens on at the moment of the call.
uint16_t FreeLoopbackPort();

}  // namespace iapflash
