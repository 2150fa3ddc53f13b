#include "sim/sim_bus.h"

namespace iapflash {

// Not yet implemented: no scenario exists.
std::unique_ptr<SimulatedBus> MakeSimulatedBus(std::string_view, Clock&) { return nullptr; }

}  // namespace iapflash
