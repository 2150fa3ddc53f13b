#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/serial_port.h"  // IsRemotePortName

namespace iapflash {

// A serial port on another machine, behind a serial-to-network server: rfc2217://HOST:PORT
// (Telnet with COM-port control) or tcp://HOST:PORT (the bytes as they are). HOST is a name, an
// IPv4 address or an IPv6 address in brackets.
enum class RemoteProtocol { Rfc2217, RawTcp };

struct RemoteAddress {
  RemoteProtocol protocol = RemoteProtocol::Rfc2217;
  std::string host;  // without the brackets of an IPv6 address
  uint16_t port = 0;
};

// The address a remote port name gives; empty when it is malformed.
std::optional<RemoteAddress> ParseRemotePortName(std::string_view name);

// Whether two addresses reach the same server and port, whichever protocol each speaks: the
// same host in any case of its letters, or two hosts that share an address (127.0.0.1 and
// localhost). Each host is looked up once for the process's life; a host that cannot be looked
// up shares no address.
bool SameRemoteServer(const RemoteAddress& a, const RemoteAddress& b);

}  // namespace iapflash
