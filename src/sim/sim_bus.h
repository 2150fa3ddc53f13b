#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/device_tree.h"
#include "platform/serial_port.h"
#include "sim/sim_app_device.h"
#include "sim/sim_device.h"

namespace iapflash {

enum class SimRole { Application, BootProgram };

// One of the maker's USB devices on a simulated bus. An application device (vendor 6B2D) has
// one or two serial interfaces; the first answers the mode-switch request as its behaviour says,
// and returnDelayMs later the device comes back at the same location as the boot program
// (vendor 7F3C, product 2C71) with the one port bootPort. A boot program has the one port
// ports[0] and is served by a SimDevice.
struct SimUsbDevice {
  SimRole role = SimRole::Application;
  std::vector<std::string> ports;  // "COM5"-style names
  std::string location;            // e.g. "Port_#0002.Hub_#0001"
  std::string product = "0A01";    // an application's product ID, four hexadecimal digits
  SimAppBehaviour behaviour = SimAppBehaviour::Switches;
  uint32_t returnDelayMs = 500;
  std::string bootPort;
  // The USB serial number (its instance ID's last part, as Windows shows it); empty: none, the
  // ID then carries the device's place on the bus.
  std::string serial;
  // A scripted board: plugged in arrivesAtMs after the bus was made, pulled out (whatever it
  // runs by then) leavesAtMs after it; both by the bus's clock.
  uint64_t arrivesAtMs = 0;
  std::optional<uint64_t> leavesAtMs;
  // Faults of its boot program, and the boot program's model itself (made when null), for a
  // test to look at what the board received.
  std::vector<SimFault> bootFaults;
  std::shared_ptr<SimDevice> boot;
};

// A simulated USB bus with the maker's devices on it: a DeviceTree shaped as Windows presents
// them and the SerialPorts that reach them. Behind every front end's --simulate. Devices
// re-enumerate when they are due by the clock, which is looked at whenever the tree or a port
// is used. Thread-safe.
class SimulatedBus {
 public:
  virtual ~SimulatedBus() = default;
  virtual DeviceTree& Tree() = 0;
  virtual SerialPorts& Ports() = 0;
  // The boot program answering on port, for inspection; null when there is none.
  virtual std::shared_ptr<SimDevice> BootProgram(const std::string& port) = 0;
  // The application device whose first interface is port, for inspection; null when none.
  virtual std::shared_ptr<SimAppDevice> Application(const std::string& port) = 0;
};

// A named population of simulated devices; null for an unknown name.
//   "demo" (a bare --simulate): an application device with two serial interfaces (COM5, COM6;
//       back as COM9), one with a single interface (COM7; back as COM10) and a boot program
//       (COM8), in that order.
//   "never-returns": a two-interface application device (COM5, COM6) that never comes back.
//   "wrong-reply": the same device answering other bytes; it still comes back as COM9.
//   "silent-app": a one-interface application device (COM7) that does not answer.
//   "two-boot-programs": a boot program (COM8) and then a two-interface application device
//       (COM5, COM6) that comes back as a second boot program (COM9) at another location.
//   "crowded": sixteen two-interface application devices, 32 ports (COM100 to COM131).
//   "hub": sixteen one-interface application devices on one hub (COM20 to COM35), each back as
//       its boot program (COM40 to COM55): a production line's flashing of many at once.
//   "station": boards plugged into four places of a hub and pulled again on a script over about
//       ten seconds (StationScript), for `iapflash station`.
std::unique_ptr<SimulatedBus> MakeSimulatedBus(std::string_view scenario, Clock& clock);

// A bus with the given devices, listed by the tree in this order. Null when a device has no
// port or two devices share a port name (the ports they come back under included).
std::unique_ptr<SimulatedBus> MakeSimulatedBus(const std::vector<SimUsbDevice>& devices,
                                               Clock& clock);

// The "station" scenario's boards, in order of arrival, at four places of one hub (each place
// names its ports as a system reuses them): seven applications that switch (two of them fail
// their verify, one is pulled in the middle of its download), one whose application never
// switches, and one board that already runs its boot program. Each has a serial number.
std::vector<SimUsbDevice> StationScript();

}  // namespace iapflash
