#pragma once

#include <cstdint>

namespace iapflash::web {

// Options for the page's listening socket (a descriptor or a SOCKET handle): one station per
// address and port, never two sharing it unnoticed; on Linux a restarted station may listen at
// once again beside connections of the last one that are still closing.
void PrepareListeningSocket(std::uintptr_t socket);

}  // namespace iapflash::web
