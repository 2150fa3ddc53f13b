#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/system_error.h"

#if defined(__GNUC__)
#define IAPFLASH_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define IAPFLASH_PRINTF(fmt, args)
#endif

namespace iapflash {

// Where a run's log goes: the log pane, a stream, a test's record.
class LogSink {
 public:
  virtual ~LogSink() = default;
  // Appends text (UTF-8) at the end of the log, whole, and returns once it is there.
  // Callable from any thread.
  virtual void AppendLog(std::string_view text) = 0;
};

inline constexpr std::size_t LOG_LINE_SIZE = 10240;
inline constexpr std::size_t LOG_APPEND_SIZE = 512;
// Characters of a system error text that the log shows, its line end included.
inline constexpr std::size_t SYSTEM_TEXT_SIZE = 100;

// Formats one line, ends it with "\r\n", sends the whole line to the diagnostic channel and
// appends it to the log pane through LogAppend. A line longer than the line buffer is cut.
// Returns what LogAppend returns.
int LogLine(LogSink& sink, const char* format, ...) IAPFLASH_PRINTF(2, 3);

// Formats into the 512-character append buffer and appends the text to the log pane without a
// line end. Text that does not fit is cut after 510 characters and ended with "\n".
// Returns 1.
int LogAppend(LogSink& sink, const char* format, ...) IAPFLASH_PRINTF(2, 3);

// Logs "<caption>:Last Err(<code in hex>)<system text>" for a system error code.
void LogLastError(LogSink& sink, const char* caption, SystemError code);

// Length of text cut to at most limit bytes without splitting a UTF-8 sequence.
std::size_t Utf8Cut(const char* text, std::size_t length, std::size_t limit);

// A system text as LogLastError shows it: at most SYSTEM_TEXT_SIZE characters, cut between
// characters, and its line end (if any) kept at the end.
std::string ShownSystemText(std::string_view text);

// Where whole lines go besides the pane; DebugOutput unless a test replaces it.
using DiagnosticSink = void (*)(const std::string& line);
void SetDiagnosticSink(DiagnosticSink sink);

}  // namespace iapflash
