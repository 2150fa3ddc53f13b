#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <functional>
#include <memory>

#include "platform/remote/connection.h"

namespace iapflash {

// A name lookup with GetAddrInfoW's contract; the result is freed with FreeAddrInfoW.
using AddressLookup = std::function<int(const wchar_t* host, const wchar_t* service,
                                        const ADDRINFOW* hints, ADDRINFOW** found)>;

// A connection whose names are looked up by lookup (the system's GetAddrInfoW for
// NewConnection). The lookup runs on a thread of its own: only a cancel ends the wait for it (the
// connection's time limit counts from its end), and a lookup left behind finishes by itself.
std::unique_ptr<Connection> NewWin32Connection(SystemError& error, AddressLookup lookup);

}  // namespace iapflash
