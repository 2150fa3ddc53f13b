#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/terminal.h"
#include "platform/win32/wide_text.h"

namespace iapflash::cli {
namespace {

bool IsConsoleHandle(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

bool IsConsole(DWORD which) {
  return IsConsoleHandle(GetStdHandle(which));
}

}  // namespace

bool StdoutIsTerminal() {
  return IsConsole(STD_OUTPUT_HANDLE);
}
bool StderrIsTerminal() {
  return IsConsole(STD_ERROR_HANDLE);
}

int StderrColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

// The console shows UTF-8 bytes as text, and takes the progress bar's escape sequences. Binary
// mode keeps the C runtime from turning each "\n" into "\r\n": the log's lines already end in
// "\r\n", and a pipe or file gets the bytes as they were written.
void PrepareUtf8Console() {
  SetConsoleOutputCP(CP_UTF8);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(error, &mode)) {
    SetConsoleMode(error, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  }
}

}  // namespace iapflash::cli

namespace iapflash::cli {

// argv holds the arguments in the ANSI code page, which cannot hold every path; the command
// line itself is UTF-16.
std::vector<std::string> Utf8Arguments(int, char**) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int i = 1; wide && i < count; ++i) arguments.push_back(Narrow(wide[i]));
  LocalFree(wide);
  return arguments;
}

// A console shows UTF-16 text correctly whatever its code page and the C runtime's mode.
bool WriteText(std::FILE* stream, std::string_view text, std::string* error) {
  std::fflush(stream);
  const DWORD which = stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE;
  HANDLE handle = GetStdHandle(which);
  if ((stream == stdout || stream == stderr) && IsConsoleHandle(handle)) {
    const std::wstring wide = Widen(text);
    std::size_t done = 0;
    while (done < wide.size()) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(wide.size() - done, 8192));
      if (!WriteConsoleW(handle, wide.data() + done, chunk, &written, nullptr) || written == 0) {
        if (error) *error = "the console takes no more text";
        return false;
      }
      done += written;
    }
    return true;
  }
  const bool wrote = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
  if (std::fflush(stream) != 0 || !wrote) {
    if (error) *error = std::strerror(errno);
    std::clearerr(stream);
    return false;
  }
  return true;
}

void WriteTextIfReady(std::FILE* stream, std::string_view text) {
  WriteText(stream, text);
}

int StderrRows() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
  return info.srWindow.Bottom - info.srWindow.Top + 1;
}

}  // namespace iapflash::cli
