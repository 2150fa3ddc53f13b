#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/deadline.h"
#include "platform/cancel_switch.h"
#include "platform/clock.h"
#include "platform/serial_port.h"

namespace iapflash {

// A run's seams, cut off once its time limit of real time has passed: from then on its port's
// transfers and waits end at once, so the run ends through its own failure path and closes its
// port. Without a limit the seams are handed on as they are.
class TimeLimit {
 public:
  TimeLimit(SerialPorts& ports, Clock& clock, std::optional<uint64_t> limitMs);
  TimeLimit(const TimeLimit&) = delete;
  TimeLimit& operator=(const TimeLimit&) = delete;

  SerialPorts& Ports();
  Clock& GetClock();
  // Whether the limit was reached; asked once the run has ended.
  bool Expired() const { return deadline_ && deadline_->Expired(); }
  // The line that says so: "iapflash: the run was stopped at its time limit of 5 s".
  std::string Line() const;

 private:
  SerialPorts& ports_;
  Clock& clock_;
  std::optional<uint64_t> limitMs_;
  std::optional<CancelSwitch> cancel_;
  std::optional<Deadline> deadline_;  // after cancel_: destroyed, and its thread ended, first
};

}  // namespace iapflash
