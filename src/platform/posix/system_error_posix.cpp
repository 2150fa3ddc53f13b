#include <syslog.h>

#include <cerrno>
#include <cstring>

#include "platform/system_error.h"

namespace iapflash {

SystemError LastSystemError() {
  return static_cast<SystemError>(errno);
}

SystemError CancelledError() {
  return static_cast<SystemError>(ECANCELED);
}

std::string SystemErrorText(SystemError code) {
  char buffer[1024] = {};
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
  return text ? text : "";
}

// Linux has no debugger output channel; the system log at debug priority stands in for it.
void DebugOutput(const std::string& line) {
  syslog(LOG_USER | LOG_DEBUG, "%s", line.c_str());
}

}  // namespace iapflash
