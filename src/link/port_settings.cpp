#include "link/port_settings.h"

#include "log/log.h"

namespace iapflash {

void ConfigurePort(SerialPort& port, const PortSettings& settings) {
  port.SetQueueSizes(settings.queueSize, settings.queueSize);
  // Read back first, as the system may keep fields of its own beside these.
  SerialTimeouts timeouts;
  port.GetTimeouts(timeouts);
  timeouts = settings.timeouts;
  port.SetTimeouts(timeouts);
  port.Purge();
  LineSettings line;
  port.GetLineSettings(line);
  line.baudRate = settings.baudRate;
  line.byteSize = 8;
  line.parity = NO_PARITY;
  line.stopBits = ONE_STOP_BIT;
  port.SetLineSettings(line);
}

std::unique_ptr<SerialPort> OpenConfigured(LinkEnv& env, const std::string& name, PortRole role,
                                           const PortSettings& settings) {
  SystemError error = 0;
  std::unique_ptr<SerialPort> port = env.ports.Open(name, error);
  if (!port) {
    LogLine(env.log, "    %s打开失败", name.c_str());
    LogLastError(env.log, "打开串口:", error);
    return nullptr;
  }
  LogLine(env.log, "    %s打开成功", name.c_str());
  env.events.OnEvent(PortOpened{name, role});
  ConfigurePort(*port, settings);
  return port;
}

}  // namespace iapflash
