#include <sys/socket.h>

#include "web/listen_socket.h"

namespace iapflash::web {

void PrepareListeningSocket(std::uintptr_t socket) {
  // SO_REUSEADDR only: SO_REUSEPORT would let a second station take the same port.
  int yes = 1;
  ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

}  // namespace iapflash::web
