#include "platform/remote/remote_address.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/remote/host_addresses.h"

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

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
}

bool StartsWithScheme(std::string_view name, std::string_view scheme) {
  return name.size() >= scheme.size() && EqualIgnoringCase(name.substr(0, scheme.size()), scheme);
}

// Looked up once each: a list of sixteen ports asks the resolver sixteen times at most.
const std::vector<std::string>& AddressesOf(const std::string& host) {
  static std::mutex mutex;
  static std::map<std::string, std::vector<std::string>> known;
  const std::lock_guard<std::mutex> lock(mutex);
  const auto found = known.find(host);
  if (found != known.end()) return found->second;
  return known.emplace(host, LookUpHostAddresses(host)).first->second;
}

}  // namespace

bool IsRemotePortName(std::string_view name) {
  for (const auto& [scheme, protocol] : SCHEMES) {
    if (StartsWithScheme(name, scheme)) return true;
  }
  return false;
}

std::optional<RemoteAddress> ParseRemotePortName(std::string_view name) {
  for (const auto& [scheme, protocol] : SCHEMES) {
    if (!StartsWithScheme(name, scheme)) continue;
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

bool SameRemoteServer(const RemoteAddress& a, const RemoteAddress& b) {
  if (a.port != b.port) return false;
  if (EqualIgnoringCase(a.host, b.host)) return true;
  const std::vector<std::string>& addressesA = AddressesOf(a.host);
  const std::vector<std::string>& addressesB = AddressesOf(b.host);
  return std::any_of(addressesA.begin(), addressesA.end(), [&](const std::string& address) {
    return std::find(addressesB.begin(), addressesB.end(), address) != addressesB.end();
  });
}

}  // namespace iapflash
