#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "link/link.h"

namespace iapflash {

// Sent as it is on the application's port: no terminator, no frame, no checksum.
inline constexpr std::string_view IAP_MODE_REQUEST = "#K!Q%T&_BLD*907M";
inline constexpr std::string_view IAP_MODE_REPLY = "Enter?IAP?Mode";
inline constexpr unsigned IAP_SEARCH_ATTEMPTS = 15;
inline constexpr uint32_t IAP_SEARCH_INTERVAL_MS = 200;
// Behind a serial-to-network server: how often the application's connection is looked at for
// the server's hang-up (its device leaves when it restarts), and for how long at most.
inline constexpr uint32_t REMOTE_HANGUP_STEP_MS = 20;
inline constexpr uint32_t REMOTE_HANGUP_WAIT_MS = IAP_SEARCH_ATTEMPTS * IAP_SEARCH_INTERVAL_MS;

// Asks the application at appPort to enter its IAP boot program and finds the port under which
// the same device (same USB location) comes back; that port's name, or nothing on failure.
std::optional<std::string> EnterIapMode(LinkEnv& env, const std::string& appPort,
                                        std::string_view locationInfo);

// One search for an IAP-mode device at exactly locationInfo; its port name. A port name of
// PORT_NAME_SIZE bytes or more is refused, as the device table could not hold it. Logs nothing.
std::optional<std::string> FindIapPort(DeviceTree& tree, std::string_view locationInfo);

}  // namespace iapflash
