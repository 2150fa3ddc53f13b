#include <winsock2.h>

#include "web/listen_socket.h"

namespace iapflash::web {

void PrepareListeningSocket(std::uintptr_t socket) {
  // Windows' SO_REUSEADDR would let another program take the port: exclusive use instead.
  BOOL yes = TRUE;
  ::setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&yes), sizeof yes);
}

}  // namespace iapflash::web
