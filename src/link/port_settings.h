#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "link/link.h"
#include "log/run_events.h"
#include "platform/serial_port.h"

namespace iapflash {

// How a port is set up before anything is sent: the download link's and the mode switch's
// settings differ only in their read timeouts.
struct PortSettings {
  uint32_t queueSize;
  SerialTimeouts timeouts;
  uint32_t baudRate;
};

// A reply read waits 1000 ms per byte plus 2000 ms.
inline constexpr PortSettings DOWNLOAD_PORT_SETTINGS{.queueSize = 8192,
                                                     .timeouts = {.readInterval = 0,
                                                                  .readMultiplier = 1000,
                                                                  .readConstant = 2000,
                                                                  .writeMultiplier = 50,
                                                                  .writeConstant = 500},
                                                     .baudRate = 115200};

// The application's 14-byte reply read gives up after 14 * 1 + 2000 ms.
inline constexpr PortSettings APPLICATION_PORT_SETTINGS{.queueSize = 8192,
                                                        .timeouts = {.readInterval = 0,
                                                                     .readMultiplier = 1,
                                                                     .readConstant = 2000,
                                                                     .writeMultiplier = 50,
                                                                     .writeConstant = 500},
                                                        .baudRate = 115200};

// Queue sizes, timeouts, a purge and the line settings (8 data bits, no parity, one stop bit).
// The results are not looked at: the port is used as it then stands.
void ConfigurePort(SerialPort& port, const PortSettings& settings);

// Opens the port by name for role and configures it: logs "<name>打开成功" and tells the events of
// the opened port, or logs "<name>打开失败" with the system's words and returns null.
std::unique_ptr<SerialPort> OpenConfigured(LinkEnv& env, const std::string& name, PortRole role,
                                           const PortSettings& settings);

}  // namespace iapflash
