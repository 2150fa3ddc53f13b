#pragma once

#include "app/operator_panel.h"
#include "discovery/device_table.h"
#include "platform/clock.h"
#include "platform/device_tree.h"
#include "platform/serial_port.h"

namespace iapflash {

// One operator station: the seams to the outside world, the window and the devices found by the
// last scan. A front end builds one (real OS, or the simulated bus); scans and runs start there.
struct Station {
  SerialPorts& ports;
  DeviceTree& tree;
  Clock& clock;
  OperatorPanel& panel;
  // Written only by scans, on the window's thread; a run copies its entry once, at step 2.
  DeviceTable devices{};
};

}  // namespace iapflash
