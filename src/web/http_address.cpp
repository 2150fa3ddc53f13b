#include "web/http_address.h"

#include <charconv>

namespace iapflash::web {

namespace {

std::optional<uint16_t> ParsePort(std::string_view text) {
  unsigned value = 0;
  const char* end = text.data() + text.size();
  auto [stop, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc{} || stop != end || value == 0 || value > 65535) {
    return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

bool IsHostText(std::string_view host) {
  if (host.empty()) return false;
  for (char c : host) {
    bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              c == '.' || c == '-' || c == ':' || c == '%' || c == '_';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

std::optional<HttpAddress> ParseHttpAddress(std::string_view text, std::string& error) {
  HttpAddress address;
  std::string_view portText = text;
  if (!text.empty() && text.front() == '[') {
    auto close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      error = "an IPv6 address is written [ADDR]:PORT";
      return std::nullopt;
    }
    address.host = std::string(text.substr(1, close - 1));
    portText = text.substr(close + 2);
  } else if (auto colon = text.rfind(':'); colon != std::string_view::npos) {
    address.host = std::string(text.substr(0, colon));
    portText = text.substr(colon + 1);
    if (address.host.find(':') != std::string::npos) {
      error = "an IPv6 address is written [ADDR]:PORT";
      return std::nullopt;
    }
  }
  if (!IsHostText(address.host)) {
    error = "not an address: " + std::string(text);
    return std::nullopt;
  }
  auto port = ParsePort(portText);
  if (!port) {
    error = "the port must be a number from 1 to 65535: " + std::string(text);
    return std::nullopt;
  }
  address.port = *port;
  return address;
}

bool IsLoopback(std::string_view host) {
  if (host == "localhost" || host == "::1") return true;
  // 127.0.0.0/8, written as four numbers.
  if (!host.starts_with("127.")) return false;
  int dots = 0;
  for (char c : host) {
    if (c == '.') {
      ++dots;
    } else if (c < '0' || c > '9') {
      return false;
    }
  }
  return dots == 3;
}

std::string PageUrl(const HttpAddress& address) {
  std::string host =
      address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host;
  return "http://" + host + ":" + std::to_string(address.port) + "/";
}

}  // namespace iapflash::web
