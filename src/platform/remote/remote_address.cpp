#include "platform/remote/remote_address.h"

#include <utility>

namespace iapflash {
namespace {

constexpr std::pair<std::string_view, RemoteProtocol> SCHEMES[] = {
    {"rfc2217://", RemoteProtocol::Rfc2217},
    {"tcp://", RemoteProtocol::RawTcp},
};

std::optional<uint16_t> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value == 0 || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

}  // namespace

bool IsRemotePortName(std::string_view name) {
  for (const auto& [scheme, protocol] : SCHEMES) {
    if (name.starts_with(scheme)) return true;
  }
  return false;
}

std::optional<RemoteAddress> ParseRemotePortName(std::string_view name) {
  for (const auto& [scheme, protocol] : SCHEMES) {
    if (!name.starts_with(scheme)) continue;
    const std::string_view rest = name.substr(scheme.size());
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string_view host = rest.substr(0, colon);
    const auto port = ParsePort(rest.substr(colon + 1));
    if (!port) return std::nullopt;
    if (host.starts_with('[')) {
      // An IPv6 address: everything between the brackets, which must close just before the port.
      if (host.size() < 3 || !host.ends_with(']')) return std::nullopt;
      host = host.substr(1, host.size() - 2);
      if (host.find_first_of("[]/") != std::string_view::npos) return std::nullopt;
    } else if (host.empty() || host.find_first_of(":[]/@ ") != std::string_view::npos) {
      return std::nullopt;
    }
    return RemoteAddress{protocol, std::string(host), *port};
  }
  return std::nullopt;
}

}  // namespace iapflash
