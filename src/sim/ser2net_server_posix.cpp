#include "sim/ser2net_server_posix.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace iapflash {
namespace {

constexpr const char* SER2NET_PATHS[] = {"/usr/sbin/ser2net", "/usr/bin/ser2net",
                                         "/usr/local/sbin/ser2net"};
constexpr auto LISTEN_WAIT = std::chrono::seconds(5);
constexpr int START_ATTEMPTS = 3;
// The file in the server's folder that keeps what it wrote to the device.
constexpr const char* WRITTEN = "written-to-device";

std::string Ser2netPath() {
  for (const char* path : SER2NET_PATHS) {
    if (access(path, X_OK) == 0) return path;
  }
  return {};
}

// Whether a socket listens on 127.0.0.1:port, as the kernel's table of TCP sockets shows.
bool Listening(uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  char local[32];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, address, remote, state;
    fields >> slot >> address >> remote >> state;
    if (address == local && state == "0A") return true;
  }
  return false;
}

bool Exited(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, WNOHANG) == pid;
}

}  // namespace

uint16_t FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

bool Ser2netServer::Available() {
  return !Ser2netPath().empty();
}

std::unique_ptr<Ser2netServer> Ser2netServer::Start(const std::string& devicePath,
                                                    RemoteProtocol protocol, std::string& problem,
                                                    uint16_t wanted, bool recordWrites) {
  const std::string program = Ser2netPath();
  if (program.empty()) {
    problem = "ser2net is not installed";
    return nullptr;
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "iapflash-ser2net-XXXXXX");
  if (!mkdtemp(pattern.data())) {
    problem = "no temporary folder";
    return nullptr;
  }
  const std::filesystem::path folder = pattern;
  const bool rfc2217 = protocol == RemoteProtocol::Rfc2217;
  // A wanted port is tried once: nothing else would do.
  for (int attempt = 0; attempt < (wanted ? 1 : START_ATTEMPTS); ++attempt) {
    const uint16_t port = wanted ? wanted : FreeLoopbackPort();
    const auto config = folder / "ser2net.yaml";
    std::ostringstream text;
    text << "%YAML 1.1\n---\n"
         << "connection: &device\n"
         << "  accepter: " << (rfc2217 ? "telnet(rfc2217)," : "") << "tcp(nodelay),127.0.0.1,"
         << port << "\n"
         << "  connector: serialdev," << devicePath << ",115200n81,local\n"
         << "  options:\n"
         << "    chardelay: false\n";
    if (recordWrites) text << "    trace-write: " << (folder / WRITTEN).string() << "\n";
    std::ofstream(config) << text.str();
    const std::string log = (folder / "ser2net.log").string();
    std::vector<std::string> args{program, "-n", "-u", "-c", config.string()};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    // The server takes the stop signals as they come, whatever its starter blocks or ignores.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &stops);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int failed =
        posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
      problem = "cannot start " + program;
      break;
    }
    const auto deadline = std::chrono::steady_clock::now() + LISTEN_WAIT;
    while (!Listening(port) && !Exited(pid) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (Listening(port)) {
      const std::string name =
          std::string(rfc2217 ? "rfc2217" : "tcp") + "://127.0.0.1:" + std::to_string(port);
      return std::unique_ptr<Ser2netServer>(new Ser2netServer(pid, port, folder, name));
    }
    // Another program took the port first, or the server failed: its log says which.
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::ifstream in(log);
    problem = "ser2net did not listen on port " + std::to_string(port) + ": " +
              std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return nullptr;
}

Ser2netServer::Ser2netServer(pid_t pid, uint16_t port, std::filesystem::path folder,
                             std::string portName)
    : pid_(pid), port_(port), folder_(std::move(folder)), portName_(std::move(portName)) {}

std::vector<uint8_t> Ser2netServer::WrittenToDevice() const {
  std::ifstream in(folder_ / WRITTEN, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

Ser2netServer::~Ser2netServer() {
  Stop(SIGTERM);
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

void Ser2netServer::Kill() {
  Stop(SIGKILL);
}

// A server that does not end within a while of the signal is killed.
void Ser2netServer::Stop(int signal) {
  if (pid_ <= 0) return;
  kill(pid_, signal);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (waitpid(pid_, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  pid_ = -1;
}

}  // namespace iapflash
