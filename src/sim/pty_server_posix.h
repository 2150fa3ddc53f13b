#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "platform/posix/wake_pipe.h"
#include "platform/system_error.h"
#include "sim/sim_device.h"

namespace iapflash {

// Serves one SimDevice on a pseudo-terminal: a program that opens Path() talks to the device as
// to a serial port. A thread bridges the master side and the model, in real time, so the model's
// wire-time emulation shapes what the program sees. When the device disconnects the terminal is
// hung up and the path goes away, as an unplugged adapter's does.
class PtyServer {
 public:
  // Null on failure, with error set to the system's code.
  static std::unique_ptr<PtyServer> Start(std::shared_ptr<SimDevice> device, SystemError& error);
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // The slave side's path, e.g. /dev/pts/4.
  const std::string& Path() const { return path_; }
  // True once the device vanished and the terminal was hung up.
  bool HungUp() const { return hungUp_.load(); }

 private:
  PtyServer(std::shared_ptr<SimDevice> device, int master, int slave, WakePipe stop,
            std::string path);
  void Run();
  void HangUp();

  std::shared_ptr<SimDevice> device_;
  int master_;
  // Held open so the master never sees "no slave" between the client's opens.
  int slave_;
  WakePipe stop_;  // ends the bridge
  std::string path_;
  std::atomic<bool> hungUp_{false};
  std::thread bridge_;
};

}  // namespace iapflash
