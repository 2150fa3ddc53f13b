#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace iapflash::testing {

// What a finished program left behind.
struct ProgramResult {
  int status = -1;  // exit status; 128 + signal when killed
  std::string out;
  std::string err;
  double seconds = 0;
  bool timedOut = false;
};

// Runs the iapflash binary with args, stdin closed, collecting stdout and stderr; killed after
// timeoutMs (a hang shows as timedOut). With stderrOnTerminal its stderr is a pseudo-terminal
// (whose output is still collected in err).
ProgramResult RunIapflash(const std::vector<std::string>& args, int timeoutMs = 30000,
                          bool stderrOnTerminal = false);

// Runs the binary with its stdout on a pipe that nobody reads (its read end already closed);
// returns the exit status.
int RunIapflashWithoutReader(const std::vector<std::string>& args);

// Runs the binary with stdout on the file at stdoutPath (such as /dev/full), or, when it is
// empty, on a pipe whose read end is already closed; collects stderr.
ProgramResult RunIapflashWithStdoutBroken(const std::vector<std::string>& args,
                                          const std::string& stdoutPath);

// Runs the binary with the standard streams in `closed` (0, 1, 2) closed and the others on
// /dev/null; returns the exit status.
int RunIapflashWithClosedStreams(const std::vector<std::string>& args,
                                 const std::vector<int>& closed);

// The iapflash binary running in the background with its stdout on a pipe.
class BackgroundIapflash {
 public:
  // stdoutPipeSize: the pipe's capacity in bytes when not 0 (a reader that stalls sooner).
  explicit BackgroundIapflash(const std::vector<std::string>& args, int stdoutPipeSize = 0);
  ~BackgroundIapflash();
  BackgroundIapflash(const BackgroundIapflash&) = delete;
  BackgroundIapflash& operator=(const BackgroundIapflash&) = delete;

  // The next line of its stdout, without the line end; empty after timeoutMs or at its end.
  std::string ReadLine(int timeoutMs);
  // Sends the signal and waits for the exit status (128 + signal when it died of one).
  int Stop(int signal);
  // After Stop: the rest of stdout, and all of stderr.
  std::string RestOfOut();
  std::string Err();

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string pending_;
};

}  // namespace iapflash::testing
