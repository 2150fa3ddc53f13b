#include <sys/ioctl.h>
#include <unistd.h>

#include "cli/terminal.h"

namespace iapflash::cli {

bool StdoutIsTerminal() {
  return isatty(STDOUT_FILENO) == 1;
}
bool StderrIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

int StderrColumns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

// POSIX terminals take UTF-8 bytes and escape sequences as they are.
void PrepareUtf8Console() {}

}  // namespace iapflash::cli
