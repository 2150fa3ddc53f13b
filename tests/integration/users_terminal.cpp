#include "users_terminal.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace iapflash::testing {
namespace {

bool SameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && cfgetospeed(&a) == cfgetospeed(&b) &&
         std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

constexpr uid_t NOBODY = 65534;

}  // namespace

UsersTerminal::UsersTerminal(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
  if (fd_ < 0 || tcgetattr(fd_, &settings_) != 0) throw std::runtime_error("no tty " + path);
  settings_.c_lflag |= ECHO | ICANON | ISIG | IEXTEN;
  settings_.c_iflag |= ICRNL | IXON;
  settings_.c_oflag |= OPOST;
  cfsetispeed(&settings_, B9600);
  cfsetospeed(&settings_, B9600);
  if (tcsetattr(fd_, TCSANOW, &settings_) != 0 || tcgetattr(fd_, &settings_) != 0) {
    close(fd_);
    throw std::runtime_error("cannot set " + path);
  }
}

UsersTerminal::~UsersTerminal() {
  close(fd_);
}

bool UsersTerminal::Exclusive() const {
  int exclusive = 0;
  return ioctl(fd_, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

bool UsersTerminal::AsFound() const {
  termios now{};
  return tcgetattr(fd_, &now) == 0 && SameSettings(now, settings_) && !Exclusive();
}

int OpenErrorForAnotherUser(const std::string& path) {
  const bool root = geteuid() == 0;
  if (root && chmod(path.c_str(), 0666) != 0) return errno;
  const pid_t child = fork();
  if (child < 0) return errno;
  if (child == 0) {
    // Only async-signal-safe calls here: the test has threads.
    if (root && (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0))
      _exit(255);
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    _exit(fd < 0 ? (errno & 0x7f) : 0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 255) throw std::runtime_error("no other user");
  return WEXITSTATUS(status);
}

}  // namespace iapflash::testing
