#include "log/log.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace iapflash {
namespace {

std::atomic<DiagnosticSink> diagnosticSink{&DebugOutput};

int AppendFormatted(LogSink& sink, const char* format, va_list args) IAPFLASH_PRINTF(2, 0);

int AppendFormatted(LogSink& sink, const char* format, va_list args) {
  char buffer[LOG_APPEND_SIZE] = {};
  const int wanted = std::vsnprintf(buffer, sizeof buffer, format, args);
  if (wanted < 0) return 0;
  std::string text;
  if (static_cast<std::size_t>(wanted) < sizeof buffer) {
    text.assign(buffer, static_cast<std::size_t>(wanted));
  } else {
    text.assign(buffer, Utf8Cut(buffer, sizeof buffer - 1, LOG_APPEND_SIZE - 2));
    text += '\n';
  }
  sink.AppendLog(text);
  return 1;
}

}  // namespace

std::size_t Utf8Cut(const char* text, std::size_t length, std::size_t limit) {
  if (length <= limit) return length;
  std::size_t cut = limit;
  // Step back over continuation bytes to the lead byte of the cut sequence, and drop it.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

void SetDiagnosticSink(DiagnosticSink sink) {
  diagnosticSink.store(sink ? sink : &DebugOutput);
}

int LogAppend(LogSink& sink, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = AppendFormatted(sink, format, args);
  va_end(args);
  return result;
}

int LogLine(LogSink& sink, const char* format, ...) {
  char buffer[LOG_LINE_SIZE] = {};
  va_list args;
  va_start(args, format);
  const int wanted = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (wanted < 0) return 0;
  // Keep room for the line end inside the line buffer.
  const std::size_t room = LOG_LINE_SIZE - 2;
  std::string line(buffer, Utf8Cut(buffer, std::min<std::size_t>(wanted, sizeof buffer - 1), room));
  line += "\r\n";
  diagnosticSink.load()(line);
  // Formatted once: a "%" inside an argument stays as it is.
  return LogAppend(sink, "%s", line.c_str());
}

std::string ShownSystemText(std::string_view text) {
  std::size_t bodyEnd = text.size();
  while (bodyEnd > 0 && (text[bodyEnd - 1] == '\r' || text[bodyEnd - 1] == '\n')) --bodyEnd;
  const std::string_view lineEnd = text.substr(bodyEnd);
  const std::size_t room =
      SYSTEM_TEXT_SIZE > lineEnd.size() ? SYSTEM_TEXT_SIZE - lineEnd.size() : 0;
  // Characters, not bytes: a character starts at every byte that is not a continuation byte.
  std::size_t cut = 0;
  for (std::size_t characters = 0; cut < bodyEnd; ++cut) {
    if ((static_cast<unsigned char>(text[cut]) & 0xC0) != 0x80 && characters++ == room) break;
  }
  std::string shown(text.substr(0, cut));
  shown += lineEnd;
  return shown;
}

void LogLastError(LogSink& sink, const char* caption, SystemError code) {
  const std::string shown = ShownSystemText(SystemErrorText(code));
  LogLine(sink, "%s:Last Err(%x)%s", caption, static_cast<unsigned>(code), shown.c_str());
}

}  // namespace iapflash
