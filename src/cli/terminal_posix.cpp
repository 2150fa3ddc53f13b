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

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void WriteText(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace iapflash::cli
