#pragma once

#include <memory>
#include <string_view>

#include "platform/clock.h"
#include "platform/device_tree.h"
#include "platform/serial_port.h"

namespace iapflash {

// A simulated USB bus with the maker's devices on it: a DeviceTree and the SerialPorts that reach
// the simulated devices. Behind every front end's --simulate.
class SimulatedBus {
 public:
  virtual ~SimulatedBus() = default;
  virtual DeviceTree& Tree() = 0;
  virtual SerialPorts& Ports() = 0;
};

// A named population of simulated devices. "demo" (what a bare --simulate shows) holds an
// application device with two serial interfaces, one with a single interface, and a device
// already in its boot program. Null for an unknown name.
std::unique_ptr<SimulatedBus> MakeSimulatedBus(std::string_view scenario, Clock& clock);

}  // namespace iapflash
