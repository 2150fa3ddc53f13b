#include <winsock2.h>
#include <ws2tcpip.h>

#include <memory>

#include "platform/remote/host_addresses.h"
#include "platform/win32/wide_text.h"

namespace iapflash {

std::vector<std::string> LookUpHostAddresses(const std::string& host) {
  // Winsock counts its users: started for this lookup and let go after it.
  WSADATA data{};
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return {};
  std::vector<std::string> addresses;
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  ADDRINFOW* found = nullptr;
  if (GetAddrInfoW(Widen(host).c_str(), nullptr, &hints, &found) == 0) {
    const std::unique_ptr<ADDRINFOW, decltype(&FreeAddrInfoW)> list(found, &FreeAddrInfoW);
    for (const ADDRINFOW* address = list.get(); address; address = address->ai_next) {
      wchar_t text[NI_MAXHOST] = {};
      if (GetNameInfoW(address->ai_addr, static_cast<socklen_t>(address->ai_addrlen), text,
                       NI_MAXHOST, nullptr, 0, NI_NUMERICHOST) != 0) {
        continue;
      }
      std::string numeric = Narrow(text);
      if (numeric.rfind("::ffff:", 0) == 0 && numeric.find('.') != std::string::npos) {
        numeric.erase(0, 7);
      }
      addresses.push_back(std::move(numeric));
    }
  }
  WSACleanup();
  return addresses;
}

}  // namespace iapflash
