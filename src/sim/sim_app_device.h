#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/serial_port.h"

namespace iapflash {

// How a simulated application firmware takes the request to enter its IAP boot program.
enum class SimAppBehaviour {
  Switches,      // answers "Enter?IAP?Mode" and comes back as the boot program
  NeverReturns,  // answers, leaves the bus and never comes back
  WrongReply,    // answers 14 other bytes, then still comes back as the boot program
  Silent,        // answers nothing and stays as it is
};

// The application firmware's side of the mode switch. It listens on its first serial interface,
// answers the request as its behaviour says and, returnDelayMs later, leaves the bus (a bus then
// presents the boot program in its place). Thread-safe.
class SimAppDevice {
 public:
  SimAppDevice(SimAppBehaviour behaviour, uint32_t returnDelayMs);

  // Bytes the host wrote at nowMs.
  void Receive(const uint8_t* data, uint32_t size, uint64_t nowMs);
  // Takes up to size reply bytes; returns how many.
  uint32_t Take(uint8_t* out, uint32_t size);
  uint32_t Available() const;
  void Discard();
  // When the device leaves the bus to restart; empty until it got a request it acts on.
  std::optional<uint64_t> LeavesAt() const;
  bool ComesBack() const { return behaviour_ != SimAppBehaviour::NeverReturns; }
  // Called by the bus when it has left: every call on its ports fails from then on.
  void Leave();
  bool Connected() const;
  uint32_t Requests() const;

 private:
  const SimAppBehaviour behaviour_;
  const uint32_t returnDelayMs_;
  mutable std::mutex mutex_;
  std::string received_;
  std::string reply_;
  std::optional<uint64_t> leavesAt_;
  bool connected_ = true;
  uint32_t requests_ = 0;
};

// One serial interface of a simulated application device. Only the first interface listens to
// the request; bytes written to any other go nowhere. Reads wait through the clock for the time
// limit set on the port when the reply falls short. Destroying it releases the port (open).
class SimAppSerialPort final : public SerialPort {
 public:
  SimAppSerialPort(std::shared_ptr<SimAppDevice> device, bool listens, Clock& clock,
                   std::shared_ptr<bool> open, std::shared_ptr<std::mutex> openMutex);
  ~SimAppSerialPort() override;

  bool SetQueueSizes(uint32_t input, uint32_t output) override;
  bool GetTimeouts(SerialTimeouts& timeouts) override;
  bool SetTimeouts(const SerialTimeouts& timeouts) override;
  bool Purge() override;
  bool GetLineSettings(LineSettings& settings) override;
  bool SetLineSettings(const LineSettings& settings) override;
  bool QueuedInput(uint32_t& count) override;
  IoResult Read(uint8_t* buffer, uint32_t size) override;
  IoResult Write(const uint8_t* data, uint32_t size) override;
  // A read that waits returns at once, and so does every later transfer.
  void Cancel() override { cancelled_.store(true); }

 private:
  std::shared_ptr<SimAppDevice> device_;
  const bool listens_;
  Clock& clock_;
  std::shared_ptr<bool> open_;
  std::shared_ptr<std::mutex> openMutex_;
  SerialTimeouts timeouts_{};
  LineSettings line_{9600, 8, NO_PARITY, ONE_STOP_BIT};
  std::atomic<bool> cancelled_{false};
};

}  // namespace iapflash
