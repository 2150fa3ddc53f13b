#include "platform/clock.h"
#include "platform/remote/remote_address.h"
#include "platform/remote/remote_serial_port.h"
#include "platform/serial_port.h"

namespace iapflash {
namespace {

// Names of remote ports go over the network; every other name is a port of this machine.
class PortsByName final : public SerialPorts {
 public:
  std::unique_ptr<SerialPort> Open(const std::string& name, SystemError& error) override {
    if (IsRemotePortName(name)) return OpenRemotePort(name, SystemClock(), error);
    return LocalSerialPorts().Open(name, error);
  }
  std::unique_ptr<SerialPort> OpenWatched(const std::string& name, SystemError& error,
                                          OpeningPorts& opening) override {
    if (IsRemotePortName(name)) return OpenRemotePort(name, SystemClock(), error, &opening);
    return LocalSerialPorts().Open(name, error);
  }
};

}  // namespace

SerialPorts& SystemSerialPorts() {
  static PortsByName ports;
  return ports;
}

}  // namespace iapflash
