#pragma once

#include <string>
#include <vector>

namespace iapflash {

// The numeric addresses the system's resolver gives host (a name or an address), as text; an
// IPv4 address mapped into IPv6 is written as the IPv4 address. Empty when it gives none.
std::vector<std::string> LookUpHostAddresses(const std::string& host);

}  // namespace iapflash
