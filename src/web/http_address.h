#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace iapflash::web {

// Where the station's page is served: `--http [ADDR:]PORT`.
struct HttpAddress {
  std::string host = "127.0.0.1";  // an IPv4 or IPv6 address (without brackets) or a name
  uint16_t port = 0;
};

// "8080" -> 127.0.0.1:8080; "0.0.0.0:8080"; "[::1]:8080"; "localhost:8080". Nothing on a text
// that is none of these; `error` then says why.
std::optional<HttpAddress> ParseHttpAddress(std::string_view text, std::string& error);

// Only this machine can reach the address (127.0.0.0/8, ::1, localhost).
bool IsLoopback(std::string_view host);

// The URL a browser opens: http://127.0.0.1:8080/ or http://[::1]:8080/.
std::string PageUrl(const HttpAddress& address);

}  // namespace iapflash::web
