#include "link/port_settings.h"

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

}  // namespace iapflash
