#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "cli/terminal.h"

namespace iapflash::cli {
namespace {

bool IsConsole(DWORD which) {
  HANDLE handle = GetStdHandle(which);
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
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
