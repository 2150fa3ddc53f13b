#include "sim/sim_serial_port.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <optional>

namespace iapflash {

const SystemError SIM_ERROR_DISCONNECTED = EIO;
const SystemError SIM_ERROR_NO_PORT = ENOENT;
const SystemError SIM_ERROR_PORT_BUSY = EBUSY;

namespace {

// A cancel ends a read's wait within this time.
constexpr uint64_t WAIT_SLICE_MS = 50;

}  // namespace

SimSerialPort::SimSerialPort(std::shared_ptr<SimDevice> device, Clock& clock,
                             std::shared_ptr<SimPortRecord> record,
                             std::shared_ptr<std::mutex> recordMutex)
    : device_(std::move(device)),
      clock_(clock),
      record_(record ? std::move(record) : std::make_shared<SimPortRecord>()),
      recordMutex_(recordMutex ? std::move(recordMutex) : std::make_shared<std::mutex>()) {
  Update([](SimPortRecord& r) {
    r.open = true;
    ++r.opens;
  });
}

SimSerialPort::~SimSerialPort() {
  Update([](SimPortRecord& r) { r.open = false; });
}

template <typename Change>
void SimSerialPort::Update(Change change) {
  std::lock_guard lock(*recordMutex_);
  change(*record_);
}

SimTime SimSerialPort::Now() {
  return std::chrono::milliseconds(clock_.NowMs());
}

bool SimSerialPort::SetQueueSizes(uint32_t input, uint32_t output) {
  if (!device_->Connected()) return false;
  Update([&](SimPortRecord& r) {
    r.inputQueue = input;
    r.outputQueue = output;
  });
  return true;
}

bool SimSerialPort::GetTimeouts(SerialTimeouts& timeouts) {
  if (!device_->Connected()) return false;
  Update([&](SimPortRecord& r) { timeouts = r.timeouts; });
  return true;
}

bool SimSerialPort::SetTimeouts(const SerialTimeouts& timeouts) {
  if (!device_->Connected()) return false;
  Update([&](SimPortRecord& r) { r.timeouts = timeouts; });
  return true;
}

bool SimSerialPort::Purge() {
  if (!device_->Connected()) return false;
  device_->DiscardAvailable(Now());
  Update([](SimPortRecord& r) { ++r.purges; });
  return true;
}

bool SimSerialPort::GetLineSettings(LineSettings& settings) {
  if (!device_->Connected()) return false;
  Update([&](SimPortRecord& r) { settings = r.line; });
  return true;
}

bool SimSerialPort::SetLineSettings(const LineSettings& settings) {
  if (!device_->Connected()) return false;
  Update([&](SimPortRecord& r) { r.line = settings; });
  return true;
}

bool SimSerialPort::QueuedInput(uint32_t& count) {
  if (!device_->Connected()) return false;
  count = static_cast<uint32_t>(device_->Available(Now()));
  return true;
}

IoResult SimSerialPort::Read(uint8_t* buffer, uint32_t size) {
  SerialTimeouts timeouts;
  Update([&](SimPortRecord& r) { timeouts = r.timeouts; });
  const TransferBudget budget = TransferBudget::ForRead(timeouts, size, clock_.NowMs());
  std::optional<uint64_t> lastByteMs;
  IoResult result;
  for (;;) {
    if (cancelled_.load()) {
      result.ok = false;
      result.error = CancelledError();
      return result;
    }
    if (!device_->Connected()) {
      result.ok = false;
      result.error = SIM_ERROR_DISCONNECTED;
      return result;
    }
    const auto got = static_cast<uint32_t>(
        device_->Take(std::span<uint8_t>(buffer + result.count, size - result.count), Now()));
    result.count += got;
    const uint64_t now = clock_.NowMs();
    if (got > 0) lastByteMs = now;
    if (result.count == size) break;
    const int wait = budget.WaitMs(now, lastByteMs);
    if (wait == 0) break;
    // Wait for the next byte on its way, or to the end of the wait when none is.
    uint64_t wakeUp = wait == TransferBudget::UNLIMITED ? std::numeric_limits<uint64_t>::max()
                                                        : now + static_cast<uint64_t>(wait);
    if (const auto next = device_->NextByteAt(Now())) {
      const auto nextMs = std::chrono::ceil<std::chrono::milliseconds>(*next).count();
      wakeUp = std::min<uint64_t>(wakeUp, static_cast<uint64_t>(nextMs));
    }
    // In slices, so that a cancel ends the wait soon.
    clock_.SleepMs(static_cast<uint32_t>(std::clamp<uint64_t>(wakeUp - now, 1, WAIT_SLICE_MS)));
  }
  result.ok = true;
  return result;
}

IoResult SimSerialPort::Write(const uint8_t* data, uint32_t size) {
  IoResult result;
  if (!device_->Connected()) {
    result.error = SIM_ERROR_DISCONNECTED;
    return result;
  }
  result.count =
      static_cast<uint32_t>(device_->Receive(std::span<const uint8_t>(data, size), Now()));
  if (!device_->Connected()) {
    // The device went away during the transfer.
    result.error = SIM_ERROR_DISCONNECTED;
    return result;
  }
  result.ok = true;
  return result;
}

void SimSerialPorts::Attach(const std::string& name, std::shared_ptr<SimDevice> device) {
  std::lock_guard lock(*mutex_);
  ports_[name] = Entry{std::move(device), std::make_shared<SimPortRecord>()};
}

void SimSerialPorts::Detach(const std::string& name) {
  std::lock_guard lock(*mutex_);
  ports_.erase(name);
}

std::unique_ptr<SerialPort> SimSerialPorts::Open(const std::string& name, SystemError& error) {
  std::shared_ptr<SimDevice> device;
  std::shared_ptr<SimPortRecord> record;
  {
    std::lock_guard lock(*mutex_);
    const auto it = ports_.find(name);
    if (it == ports_.end() || !it->second.device->Connected()) {
      error = SIM_ERROR_NO_PORT;
      return nullptr;
    }
    if (it->second.record->open) {
      error = SIM_ERROR_PORT_BUSY;
      return nullptr;
    }
    // Marked open here, under the lock, so two opens cannot both succeed.
    it->second.record->open = true;
    device = it->second.device;
    record = it->second.record;
  }
  return std::make_unique<SimSerialPort>(std::move(device), clock_, std::move(record), mutex_);
}

SimPortRecord SimSerialPorts::Record(const std::string& name) const {
  std::lock_guard lock(*mutex_);
  const auto it = ports_.find(name);
  return it == ports_.end() ? SimPortRecord{} : *it->second.record;
}

}  // namespace iapflash
