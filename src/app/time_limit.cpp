#include "app/time_limit.h"

#include <cstdio>

namespace iapflash {

TimeLimit::TimeLimit(SerialPorts& ports, Clock& clock, std::optional<uint64_t> limitMs)
    : ports_(ports), clock_(clock), limitMs_(limitMs) {
  if (!limitMs_) return;
  cancel_.emplace(ports, clock);
  deadline_.emplace(*limitMs_, [this] { cancel_->Cancel(); });
}

SerialPorts& TimeLimit::Ports() {
  return cancel_ ? cancel_->Ports() : ports_;
}

Clock& TimeLimit::GetClock() {
  return cancel_ ? cancel_->GetClock() : clock_;
}

std::string TimeLimit::Line() const {
  char text[96];
  std::snprintf(text, sizeof text, "iapflash: the run was stopped at its time limit of %g s",
                static_cast<double>(limitMs_.value_or(0)) / 1000.0);
  return text;
}

}  // namespace iapflash
