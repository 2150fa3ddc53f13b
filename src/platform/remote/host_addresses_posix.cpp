#include <netdb.h>
#include <sys/socket.h>

#include <memory>

#include "platform/remote/host_addresses.h"

namespace iapflash {

std::vector<std::string> LookUpHostAddresses(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return {};
  const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, &freeaddrinfo);
  std::vector<std::string> addresses;
  for (const addrinfo* address = list.get(); address; address = address->ai_next) {
    char text[NI_MAXHOST] = {};
    if (getnameinfo(address->ai_addr, address->ai_addrlen, text, sizeof text, nullptr, 0,
                    NI_NUMERICHOST) != 0) {
      continue;
    }
    std::string numeric = text;
    if (numeric.rfind("::ffff:", 0) == 0 && numeric.find('.') != std::string::npos) {
      numeric.erase(0, 7);
    }
    addresses.push_back(std::move(numeric));
  }
  return addresses;
}

}  // namespace iapflash
