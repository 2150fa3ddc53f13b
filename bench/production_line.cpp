// A production line's download: the iapflash binary flashes one device, then sixteen at once,
// each a SimDevice on a pseudo-terminal of its own with 115200-baud wire timing, served by this
// process. Reports both wall times (whole processes, start to exit), their ratio (the target:
// at most 1.10) and the peak resident memory of the sixteen-device process (target: under 32 MB).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "image/update_file.h"
#include "sim/pty_server_posix.h"
#include "sim/sim_device.h"

extern char** environ;

namespace iapflash {
namespace {

using Steady = std::chrono::steady_clock;

constexpr uint32_t BAUD = 115200;
constexpr int DEVICES = 16;

std::string WriteImageFile() {
  const auto path = std::filesystem::temp_directory_path() /
                    ("iapflash-bench-line-" + std::to_string(getpid()) + ".bin");
  std::vector<char> bytes(UPDATE_HEADER_SIZE + MAX_IMAGE_SIZE, 0);
  std::memcpy(bytes.data(), "IAP_UPDATA_FILE", 15);
  for (uint32_t i = 0; i < MAX_IMAGE_SIZE; ++i) {
    bytes[UPDATE_HEADER_SIZE + i] = static_cast<char>(i * 29u + i / 256u);
  }
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path.string();
}

struct Served {
  std::shared_ptr<SimDevice> device;
  std::unique_ptr<PtyServer> server;
};

std::vector<Served> Serve(int count) {
  std::vector<Served> served;
  for (int k = 0; k < count; ++k) {
    auto device = std::make_shared<SimDevice>();
    device->SetWireTiming(SimWireTiming{BAUD, 0, 0});
    SystemError error = 0;
    auto server = PtyServer::Start(device, error);
    if (!server) throw std::runtime_error("no pseudo-terminal");
    served.push_back({std::move(device), std::move(server)});
  }
  return served;
}

// VmHWM of a running process, in KiB; 0 once it is gone.
long HighWaterKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

struct Process {
  double seconds = 0;
  long maxRssKiB = 0;
  int status = -1;
};

// Runs iapflash flash FILE --port ... --iap, its output thrown away, and waits for it.
Process Flash(const std::string& file, const std::vector<Served>& devices) {
  std::vector<std::string> args{IAPFLASH_BINARY, "flash", file};
  for (const Served& served : devices) {
    args.push_back("--port");
    args.push_back(served.server->Path());
  }
  args.push_back("--iap");
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const auto start = Steady::now();
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) throw std::runtime_error("cannot start " + args[0]);

  // The process's own high-water mark, read while it runs: wait4's ru_maxrss would also count
  // this process's memory, which the child had until its exec.
  Process process;
  int raw = 0;
  for (;;) {
    process.maxRssKiB = std::max(process.maxRssKiB, HighWaterKiB(pid));
    const pid_t done = waitpid(pid, &raw, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) throw std::runtime_error("waitpid");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  process.seconds = std::chrono::duration<double>(Steady::now() - start).count();
  process.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return process;
}

void BM_SixteenDevicesAgainstOne(benchmark::State& state) {
  const std::string file = WriteImageFile();
  for (auto _ : state) {
    const Process one = Flash(file, Serve(1));
    const Process sixteen = Flash(file, Serve(DEVICES));
    if (one.status != 0 || sixteen.status != 0) {
      state.SkipWithError("a download failed");
      break;
    }
    state.SetIterationTime(sixteen.seconds);
    state.counters["one_s"] = one.seconds;
    state.counters["sixteen_s"] = sixteen.seconds;
    state.counters["sixteen_over_one"] = sixteen.seconds / one.seconds;
    state.counters["sixteen_peak_rss_MiB"] = static_cast<double>(sixteen.maxRssKiB) / 1024.0;
    state.counters["one_peak_rss_MiB"] = static_cast<double>(one.maxRssKiB) / 1024.0;
  }
  std::filesystem::remove(file);
}
// Each repetition is about a minute: one download of 27 s, then sixteen side by side.
BENCHMARK(BM_SixteenDevicesAgainstOne)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace iapflash
