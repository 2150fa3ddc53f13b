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
// The lookup runs on a thread of its own: a cancel or the connection's time limit ends the wait
// for it, and a lookup left behind finishes by itself.
std::unique_ptr<Connection> NewPosixConnection(SystemError& error, AddressLookup lookup);

}  // namespace iapflash
