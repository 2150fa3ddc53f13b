#include "program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

extern char** environ;

namespace iapflash::testing {
namespace {

using Steady = std::chrono::steady_clock;

// Starts the binary with stdout and stderr on the given descriptors (-1: inherited) and stdin
// on /dev/null; the streams in closed are closed instead.
pid_t Spawn(const std::vector<std::string>& args, int out, int err,
            const std::vector<int>& closed = {}) {
  std::vector<std::string> all{IAPFLASH_BINARY};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  if (err >= 0) posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
  for (int stream : closed) posix_spawn_file_actions_addclose(&actions, stream);
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) throw std::runtime_error("cannot start " + all[0]);
  return pid;
}

int WaitStatus(pid_t pid) {
  int raw = 0;
  while (waitpid(pid, &raw, 0) < 0) {
  }
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

}  // namespace

ProgramResult RunIapflash(const std::vector<std::string>& args, int timeoutMs,
                          bool stderrOnTerminal) {
  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  if (stderrOnTerminal) {
    // errPipe[0] the master, errPipe[1] the slave: the program sees a terminal on stderr.
    if (openpty(&errPipe[0], &errPipe[1], nullptr, nullptr, nullptr) != 0) {
      throw std::runtime_error("openpty");
    }
    fcntl(errPipe[0], F_SETFD, FD_CLOEXEC);
    fcntl(errPipe[1], F_SETFD, FD_CLOEXEC);
  } else if (pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }
  const auto start = Steady::now();
  const pid_t pid = Spawn(args, outPipe[1], errPipe[1]);
  close(outPipe[1]);
  close(errPipe[1]);

  ProgramResult result;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  const auto deadline = start + std::chrono::milliseconds(timeoutMs);
  while (open > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
    if (left <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, static_cast<int>(left)) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      char buffer[4096];
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  result.status = WaitStatus(pid);
  result.seconds = std::chrono::duration<double>(Steady::now() - start).count();
  return result;
}

int RunIapflashWithoutReader(const std::vector<std::string>& args) {
  int outPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  close(outPipe[0]);
  const pid_t pid = Spawn(args, outPipe[1], -1);
  close(outPipe[1]);
  return WaitStatus(pid);
}

ProgramResult RunIapflashWithStdoutBroken(const std::vector<std::string>& args,
                                          const std::string& stdoutPath) {
  int out = -1;
  if (stdoutPath.empty()) {
    int outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    close(outPipe[0]);
    out = outPipe[1];
  } else {
    out = open(stdoutPath.c_str(), O_WRONLY | O_CLOEXEC);
    if (out < 0) throw std::runtime_error("cannot open " + stdoutPath);
  }
  int errPipe[2];
  if (pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  const auto start = Steady::now();
  const pid_t pid = Spawn(args, out, errPipe[1]);
  close(out);
  close(errPipe[1]);
  ProgramResult result;
  char buffer[4096];
  for (ssize_t got; (got = read(errPipe[0], buffer, sizeof buffer)) > 0;) {
    result.err.append(buffer, static_cast<std::size_t>(got));
  }
  close(errPipe[0]);
  result.status = WaitStatus(pid);
  result.seconds = std::chrono::duration<double>(Steady::now() - start).count();
  return result;
}

int RunIapflashWithClosedStreams(const std::vector<std::string>& args,
                                 const std::vector<int>& closed) {
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t pid = Spawn(args, null, null, closed);
  close(null);
  return WaitStatus(pid);
}

BackgroundIapflash::BackgroundIapflash(const std::vector<std::string>& args, int stdoutPipeSize) {
  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }
  if (stdoutPipeSize > 0 && fcntl(outPipe[1], F_SETPIPE_SZ, stdoutPipeSize) < 0) {
    throw std::runtime_error("pipe size");
  }
  pid_ = Spawn(args, outPipe[1], errPipe[1]);
  close(outPipe[1]);
  close(errPipe[1]);
  out_ = outPipe[0];
  err_ = errPipe[0];
}

BackgroundIapflash::~BackgroundIapflash() {
  if (pid_ > 0) Stop(SIGKILL);
  if (out_ >= 0) close(out_);
  if (err_ >= 0) close(err_);
}

namespace {

// Everything left in a pipe whose writer has gone.
std::string Drain(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t got = 0;
  while ((got = read(fd, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<std::size_t>(got));
  return text;
}

}  // namespace

std::string BackgroundIapflash::RestOfOut() {
  std::string rest = std::move(pending_);
  pending_.clear();
  return rest + Drain(out_);
}

std::string BackgroundIapflash::Err() {
  return Drain(err_);
}

std::string BackgroundIapflash::ReadLine(int timeoutMs) {
  const auto deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const std::size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
    if (left <= 0) return {};
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[512];
    const ssize_t got = read(out_, buffer, sizeof buffer);
    if (got <= 0) return {};
    pending_.append(buffer, static_cast<std::size_t>(got));
  }
}

int BackgroundIapflash::Stop(int signal) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal);
  const int status = WaitStatus(pid_);
  pid_ = -1;
  return status;
}

}  // namespace iapflash::testing
