#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/serial_port.h"
#include "sim/sim_device.h"

namespace iapflash {

// The system error code of a call on a port whose device has gone (EIO on POSIX).
extern const SystemError SIM_ERROR_DISCONNECTED;
// Opening a name that no device answers to, or one that is already open.
extern const SystemError SIM_ERROR_NO_PORT;
extern const SystemError SIM_ERROR_PORT_BUSY;

// What was done to a simulated port, for assertions; shared by the port and its SimSerialPorts.
struct SimPortRecord {
  bool open = false;
  uint32_t opens = 0;
  uint32_t inputQueue = 0;
  uint32_t outputQueue = 0;
  SerialTimeouts timeouts{};
  LineSettings line{9600, 8, NO_PARITY, ONE_STOP_BIT};
  uint32_t purges = 0;
};

// A serial port in the same process as its SimDevice. Reads wait for reply bytes through the
// Clock (a virtual clock just moves on) until multiplier x n + constant ms have passed; writes
// hand the bytes to the device at once. Once the device is disconnected every call fails.
class SimSerialPort final : public SerialPort {
 public:
  SimSerialPort(std::shared_ptr<SimDevice> device, Clock& clock,
                std::shared_ptr<SimPortRecord> record = nullptr,
                std::shared_ptr<std::mutex> recordMutex = nullptr);
  ~SimSerialPort() override;

  bool SetQueueSizes(uint32_t input, uint32_t output) override;
  bool GetTimeouts(SerialTimeouts& timeouts) override;
  bool SetTimeouts(const SerialTimeouts& timeouts) override;
  bool Purge() override;
  bool GetLineSettings(LineSettings& settings) override;
  bool SetLineSettings(const LineSettings& settings) override;
  bool QueuedInput(uint32_t& count) override;
  IoResult Read(uint8_t* buffer, uint32_t size) override;
  IoResult Write(const uint8_t* data, uint32_t size) override;
  void Cancel() override { cancelled_.store(true); }

 private:
  SimTime Now();
  template <typename Change>
  void Update(Change change);

  std::shared_ptr<SimDevice> device_;
  Clock& clock_;
  std::shared_ptr<SimPortRecord> record_;
  std::shared_ptr<std::mutex> recordMutex_;
  std::atomic<bool> cancelled_{false};
};

// Named in-process ports ("SIM7" and the like), each over its own SimDevice; a port can be open
// once at a time.
class SimSerialPorts final : public SerialPorts {
 public:
  explicit SimSerialPorts(Clock& clock) : clock_(clock) {}

  void Attach(const std::string& name, std::shared_ptr<SimDevice> device);
  void Detach(const std::string& name);
  std::unique_ptr<SerialPort> Open(const std::string& name, SystemError& error) override;
  // What was done to the port of that name so far (a default record for an unknown name).
  SimPortRecord Record(const std::string& name) const;

 private:
  struct Entry {
    std::shared_ptr<SimDevice> device;
    std::shared_ptr<SimPortRecord> record;
  };
  Clock& clock_;
  // Guards the map and every record.
  std::shared_ptr<std::mutex> mutex_ = std::make_shared<std::mutex>();
  std::map<std::string, Entry> ports_;
};

}  // namespace iapflash
