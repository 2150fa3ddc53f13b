#pragma once

#include <cstdint>

#include "platform/serial_port.h"

namespace iapflash::testing {

// A port whose settings always take, that holds nothing and takes every write: test ports
// derive from it and script only what their case is about.
class AgreeablePort : public SerialPort {
 public:
  bool SetQueueSizes(uint32_t, uint32_t) override { return true; }
  bool GetTimeouts(SerialTimeouts&) override { return true; }
  bool SetTimeouts(const SerialTimeouts&) override { return true; }
  bool Purge() override { return true; }
  bool GetLineSettings(LineSettings&) override { return true; }
  bool SetLineSettings(const LineSettings&) override { return true; }
  bool QueuedInput(uint32_t& count) override {
    count = 0;
    return true;
  }
  IoResult Read(uint8_t*, uint32_t) override { return {true, 0, 0}; }
  IoResult Write(const uint8_t*, uint32_t size) override { return {true, size, 0}; }
};

}  // namespace iapflash::testing
