#pragma once

#include <cstdint>
#include <string>

namespace iapflash {

// A system error code as the OS reports it: errno on POSIX, GetLastError() on Windows.
using SystemError = uint32_t;

// The calling thread's last system error code.
SystemError LastSystemError();

// The code of an operation that was cancelled (ECANCELED, ERROR_OPERATION_ABORTED).
SystemError CancelledError();

// The system's own text for a code, as the OS words it (on Windows it ends in a line end), whole.
std::string SystemErrorText(SystemError code);

// Whole log lines for the platform's debugger output (Windows) or diagnostic channel (POSIX).
void DebugOutput(const std::string& line);

}  // namespace iapflash
