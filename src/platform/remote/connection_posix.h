#pragma once

#include <netdb.h>

#include <functional>
#include <memory>

#include "platform/remote/connection.h"

namespace iapflash {

// A name lookup with getaddrinfo's contract; the result is freed with freeaddrinfo.
using AddressLookup = std::function<int(const char* host, const char* service,
                                        const addrinfo* hints, addrinfo** found)>;

// A connection whose names are looked up by lookup (the system's getaddrinfo for NewConnection).
// The lookup runs on a thread of its own: only a cancel ends the wait for it (the connection's
// time limit counts from its end), and a lookup left behind finishes by itself.
std::unique_ptr<Connection> NewPosixConnection(SystemError& error, AddressLookup lookup);

}  // namespace iapflash
