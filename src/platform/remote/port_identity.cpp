#include "platform/port_identity.h"

#include "platform/remote/remote_address.h"

namespace iapflash {

// Here beside the remote ports, as the choice between remote and local opening is.
bool SamePortDevice(const std::string& a, const std::string& b) {
  const bool remoteA = IsRemotePortName(a);
  const bool remoteB = IsRemotePortName(b);
  if (remoteA != remoteB) return false;
  if (!remoteA) return SameLocalPortDevice(a, b);
  const auto addressA = ParseRemotePortName(a);
  const auto addressB = ParseRemotePortName(b);
  if (!addressA || !addressB) return a == b;
  return SameRemoteServer(*addressA, *addressB);
}

}  // namespace iapflash
