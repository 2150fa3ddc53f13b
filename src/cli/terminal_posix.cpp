#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

bool WriteText(std::FILE* stream, std::string_view text, std::string* error) {
  // Text that stdio still holds goes first; the rest bypasses it, so that a write that waits
  // for a reader holds no lock of the stream.
  std::fflush(stream);
  const int fd = fileno(stream);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      if (error) *error = std::strerror(wrote < 0 ? errno : EIO);
      return false;
    }
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

void WriteTextIfReady(std::FILE* stream, std::string_view text) {
  pollfd ready{fileno(stream), POLLOUT, 0};
  if (poll(&ready, 1, 0) == 1 && (ready.revents & POLLOUT) != 0) WriteText(stream, text);
}

int StderrRows() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_row;
}

}  // namespace iapflash::cli
