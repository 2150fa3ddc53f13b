#include <cerrno>

#include "platform/serial_port.h"

namespace iapflash {
namespace {

// Not yet implemented: no port opens.
class PosixSerialPorts final : public SerialPorts {
 public:
  std::unique_ptr<SerialPort> Open(const std::string&, SystemError& error) override {
    error = ENOENT;
    return nullptr;
  }
};

}  // namespace

SerialPorts& SystemSerialPorts() {
  static PosixSerialPorts ports;
  return ports;
}

}  // namespace iapflash
