#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/clock.h"
#include "platform/serial_port.h"

namespace iapflash {

// Ends whatever a run is doing, from any thread. The ports and the clock it hands out stand for
// the ones it wraps until Cancel(): from then on a transfer that waits returns at once, every
// later port call and open fails, and sleeps return at once. The run then ends through its own
// failure path and closes its port as usual. Not for a signal handler (it takes a lock).
class CancelSwitch {
 public:
  CancelSwitch(SerialPorts& ports, Clock& clock);
  ~CancelSwitch();
  CancelSwitch(const CancelSwitch&) = delete;
  CancelSwitch& operator=(const CancelSwitch&) = delete;

  SerialPorts& Ports();
  Clock& GetClock();

  void Cancel();
  bool Cancelled() const { return cancelled_.load(); }

 private:
  class Port;
  class Opener;
  class SlicedClock;
  friend class Port;
  friend class Opener;

  std::atomic<bool> cancelled_{false};
  std::mutex mutex_;
  std::set<SerialPort*> open_;  // the inner ports, while their wrappers live
  std::unique_ptr<Opener> opener_;
  std::unique_ptr<SlicedClock> clock_;
};

}  // namespace iapflash
