#include "sim/sim_app_device.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "sim/sim_serial_port.h"

namespace iapflash {
namespace {

constexpr std::string_view REQUEST = "#K!Q%T&_BLD*907M";
constexpr std::string_view REPLY = "Enter?IAP?Mode";
constexpr std::string_view OTHER_REPLY = "Enter_IAP_Mode";
// A read's wait ends this soon after a cancel.
constexpr uint64_t READ_WAIT_SLICE_MS = 50;

}  // namespace

SimAppDevice::SimAppDevice(SimAppBehaviour behaviour, uint32_t returnDelayMs)
    : behaviour_(behaviour), returnDelayMs_(returnDelayMs) {}

void SimAppDevice::Receive(const uint8_t* data, uint32_t size, uint64_t nowMs) {
  std::lock_guard lock(mutex_);
  received_.append(reinterpret_cast<const char*>(data), size);
  const auto at = received_.find(REQUEST);
  if (at == std::string::npos) {
    // Keep only what could still begin a request.
    if (received_.size() > REQUEST.size()) received_.erase(0, received_.size() - REQUEST.size());
    return;
  }
  received_.erase(0, at + REQUEST.size());
  ++requests_;
  if (behaviour_ == SimAppBehaviour::Silent || leavesAt_) return;
  reply_ += behaviour_ == SimAppBehaviour::WrongReply ? OTHER_REPLY : REPLY;
  leavesAt_ = nowMs + returnDelayMs_;
}

uint32_t SimAppDevice::Take(uint8_t* out, uint32_t size) {
  std::lock_guard lock(mutex_);
  const auto count = static_cast<uint32_t>(std::min<std::size_t>(size, reply_.size()));
  std::memcpy(out, reply_.data(), count);
  reply_.erase(0, count);
  return count;
}

uint32_t SimAppDevice::Available() const {
  std::lock_guard lock(mutex_);
  return static_cast<uint32_t>(reply_.size());
}

void SimAppDevice::Discard() {
  std::lock_guard lock(mutex_);
  reply_.clear();
  received_.clear();
}

std::optional<uint64_t> SimAppDevice::LeavesAt() const {
  std::lock_guard lock(mutex_);
  return leavesAt_;
}

void SimAppDevice::Leave() {
  std::lock_guard lock(mutex_);
  connected_ = false;
}

bool SimAppDevice::Connected() const {
  std::lock_guard lock(mutex_);
  return connected_;
}

uint32_t SimAppDevice::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

SimAppSerialPort::SimAppSerialPort(std::shared_ptr<SimAppDevice> device, bool listens, Clock& clock,
                                   std::shared_ptr<bool> open,
                                   std::shared_ptr<std::mutex> openMutex)
    : device_(std::move(device)),
      listens_(listens),
      clock_(clock),
      open_(std::move(open)),
      openMutex_(std::move(openMutex)) {}

SimAppSerialPort::~SimAppSerialPort() {
  std::lock_guard lock(*openMutex_);
  *open_ = false;
}

bool SimAppSerialPort::SetQueueSizes(uint32_t, uint32_t) {
  return device_->Connected();
}

bool SimAppSerialPort::GetTimeouts(SerialTimeouts& timeouts) {
  timeouts = timeouts_;
  return device_->Connected();
}

bool SimAppSerialPort::SetTimeouts(const SerialTimeouts& timeouts) {
  timeouts_ = timeouts;
  return device_->Connected();
}

bool SimAppSerialPort::Purge() {
  if (!device_->Connected()) return false;
  if (listens_) device_->Discard();
  return true;
}

bool SimAppSerialPort::GetLineSettings(LineSettings& settings) {
  settings = line_;
  return device_->Connected();
}

bool SimAppSerialPort::SetLineSettings(const LineSettings& settings) {
  line_ = settings;
  return device_->Connected();
}

bool SimAppSerialPort::QueuedInput(uint32_t& count) {
  if (!device_->Connected()) return false;
  count = listens_ ? device_->Available() : 0;
  return true;
}

IoResult SimAppSerialPort::Read(uint8_t* buffer, uint32_t size) {
  IoResult result;
  // A reply is there the moment its request is: what is missing now never comes in time. The
  // wait goes in slices, so that a cancel ends it soon, as on a real port. A reply sent before
  // the device left is already in the host's buffer and is read whole; only then is it gone.
  result.count = listens_ ? device_->Take(buffer, size) : 0;
  if (!device_->Connected()) {
    if (result.count > 0) {
      result.ok = true;
      return result;
    }
    result.error = SIM_ERROR_DISCONNECTED;
    return result;
  }
  if (result.count < size) {
    const uint64_t start = clock_.NowMs();
    const TransferBudget budget = TransferBudget::ForRead(timeouts_, size, start);
    const std::optional<uint64_t> lastByteMs =
        result.count > 0 ? std::optional<uint64_t>(start) : std::nullopt;
    while (!cancelled_.load()) {
      const int wait = budget.WaitMs(clock_.NowMs(), lastByteMs);
      if (wait == 0) break;
      clock_.SleepMs(wait == TransferBudget::UNLIMITED
                         ? static_cast<uint32_t>(READ_WAIT_SLICE_MS)
                         : static_cast<uint32_t>(std::min<uint64_t>(wait, READ_WAIT_SLICE_MS)));
    }
  }
  if (cancelled_.load()) {
    result.error = CancelledError();
    return result;
  }
  result.ok = true;
  return result;
}

IoResult SimAppSerialPort::Write(const uint8_t* data, uint32_t size) {
  IoResult result;
  if (cancelled_.load()) {
    result.error = CancelledError();
    return result;
  }
  if (!device_->Connected()) {
    result.error = SIM_ERROR_DISCONNECTED;
    return result;
  }
  if (listens_) device_->Receive(data, size, clock_.NowMs());
  result.ok = true;
  result.count = size;
  return result;
}

}  // namespace iapflash
