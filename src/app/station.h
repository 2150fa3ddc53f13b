#pragma once

#include <cstdint>

#include "discovery/device_table.h"
#include "platform/clock.h"
#include "platform/device_tree.h"
#include "platform/operator_panel.h"
#include "platform/serial_port.h"

namespace iapflash {

// One operator station: the seams to the outside world and the devices found by the last scan.
// A front end builds one (real OS, or the simulated bus) and hands it to every operation.
struct Station {
  SerialPorts& ports;
  DeviceTree& tree;
  Clock& clock;
  OperatorPanel& panel;
  // Written only by scans, on the window's thread; a download reads its entry once, in LinkOpen.
  DeviceTable devices{};
  uint8_t deviceCount = 0;
};

}  // namespace iapflash
