#pragma once
// Whether a run gave its port back as it found it, seen from outside the run. Root opens a tty
// that another process holds exclusive, so reopening the port in a test that runs as root proves
// nothing: these look at the tty's exclusive flag and its settings, and open it as another user.

#include <termios.h>

#include <string>

namespace iapflash::testing {

// The pseudo-terminal's own end, held open by the test, set up as a user's terminal would be
// (cooked, echo, signals, 9600 baud); keeps what it was set to. Open it before the run.
class UsersTerminal {
 public:
  explicit UsersTerminal(const std::string& path);
  ~UsersTerminal();
  UsersTerminal(const UsersTerminal&) = delete;
  UsersTerminal& operator=(const UsersTerminal&) = delete;

  // The settings as they were set, and the tty not exclusive.
  bool AsFound() const;
  bool Exclusive() const;

 private:
  int fd_;
  termios settings_{};
};

// Whether a process without root's privilege opens the tty at path at once: as root, a child
// that has become nobody (the tty is opened to everyone for the test); otherwise the test's own
// user. 0 when it opens, else the errno of its open.
int OpenErrorForAnotherUser(const std::string& path);

}  // namespace iapflash::testing
