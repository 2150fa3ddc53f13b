#include "app/window_logic.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "log/log.h"
#include "platform/cancel_switch.h"

namespace iapflash {
namespace {

// Set when the window closes; from then on nothing new is handed to the window's thread.
using ClosingFlag = std::atomic<bool>;

// A call handed to the window's thread.
struct PendingCall {
  std::function<void()> body;
  bool waited = false;  // a worker waits for it to finish
  bool started = false;
  bool done = false;
};

}  // namespace

WindowActions StandardWindowActions() {
  return {[](Station& station) { return ScanDevices(station); },
          [](Station& station) {
            IgnoredRunEvents events;
            DownloadRunAt(station, events);
          },
          [](const std::string& path) { return FileExists(path); }};
}

struct WindowLogic::State final : public OperatorPanel {
  State(WindowFront& windowFront, SerialPorts& ports, DeviceTree& tree, Clock& clock,
        WindowActions windowActions)
      : front(windowFront),
        actions(std::move(windowActions)),
        cancel(ports, clock),
        station{cancel.Ports(), tree, cancel.GetClock(), *this} {}

  // OperatorPanel: the core's view of the window. On the window's thread a call goes straight
  // to the front end; from the worker it is handed to the window's thread and waited for.
  void AppendLog(std::string_view text) override {
    if (OnWindowThread()) return front.AppendLogText(text);
    const std::string copy(text);
    CallAndWait([&] { front.AppendLogText(copy); });
  }
  int SelectedDevice() override {
    if (OnWindowThread()) return front.SelectedDeviceLine();
    int selected = -1;
    CallAndWait([&] { selected = front.SelectedDeviceLine(); });
    return selected;
  }
  std::string FilePath() override {
    if (OnWindowThread()) return front.FilePathText();
    std::string path;
    CallAndWait([&] { path = front.FilePathText(); });
    return path;
  }
  void ShowDevices(const std::vector<std::string>& lines, int selected) override {
    if (OnWindowThread()) return front.SetDeviceLines(lines, selected);
    CallAndWait([&] { front.SetDeviceLines(lines, selected); });
  }

  bool OnWindowThread() const { return std::this_thread::get_id() == windowThread; }

  // Queues a call for the window's thread and wakes it. False once the window is closing.
  bool Enqueue(const std::shared_ptr<PendingCall>& call) {
    std::lock_guard lock(mutex);
    if (closing.load()) return false;
    calls.push_back(call);
    // Under the lock, so that no wake-up reaches a front end that has begun to close.
    front.WakeWindowThread();
    return true;
  }

  void Post(std::function<void()> body) {
    auto call = std::make_shared<PendingCall>();
    call->body = std::move(body);
    Enqueue(call);
  }

  // Runs body on the window's thread and returns once it has run; returns at once without
  // running it when the window closes first, so a closing window never waits for the worker
  // while the worker waits for the window.
  void CallAndWait(const std::function<void()>& body) {
    auto call = std::make_shared<PendingCall>();
    call->body = [&body] { body(); };
    call->waited = true;
    if (!Enqueue(call)) return;
    std::unique_lock lock(mutex);
    finished.wait(lock, [&] { return call->done || (closing.load() && !call->started); });
    // An abandoned call must never run: its body refers to this thread's stack.
    call->body = nullptr;
  }

  void RunPendingCalls() {
    for (;;) {
      std::shared_ptr<PendingCall> call;
      {
        std::lock_guard lock(mutex);
        if (calls.empty() || closing.load()) return;
        call = std::move(calls.front());
        calls.pop_front();
        if (!call->body) continue;
        call->started = true;
      }
      call->body();
      {
        std::lock_guard lock(mutex);
        call->done = true;
      }
      if (call->waited) finished.notify_all();
    }
  }

  void FindDevices() {
    // A scan rewrites the device table that a running download reads: it waits for the end.
    if (workerRunning) {
      scanPending = true;
      return;
    }
    actions.scan(station);
  }

  // The button stays disabled until the worker has ended (WorkerEnded): while the worker still
  // waits to post its rescan, a second download must not start.
  void StartWorker() {
    front.SetDownloadEnabled(false);
    workerRunning = true;
    try {
      worker = std::thread([this] {
        actions.download(station);
        station.clock.SleepMs(RESCAN_DELAY_MS);
        Post([this] { FindDevices(); });
        Post([this] { WorkerEnded(); });
      });
    } catch (const std::system_error&) {
      workerRunning = false;
      front.SetDownloadEnabled(true);
    }
  }

  void WorkerEnded() {
    if (worker.joinable()) worker.join();
    workerRunning = false;
    front.SetDownloadEnabled(true);
    if (scanPending) {
      scanPending = false;
      FindDevices();
    }
  }

  void Shutdown() {
    // First, so that a worker released below finds its port and clock already cut off: one
    // waiting on them returns at once and ends through its failure path.
    cancel.Cancel();
    {
      std::lock_guard lock(mutex);
      closing.store(true);
    }
    finished.notify_all();
  }

  WindowFront& front;
  WindowActions actions;
  const std::thread::id windowThread = std::this_thread::get_id();

  ClosingFlag closing{false};
  CancelSwitch cancel;
  Station station;

  // Window's thread only.
  bool workerRunning = false;
  bool scanPending = false;
  std::thread worker;

  std::mutex mutex;
  std::condition_variable finished;
  std::deque<std::shared_ptr<PendingCall>> calls;
};

bool ParseWindowArguments(const std::vector<std::string>& arguments, WindowArguments& parsed) {
  const std::string simulate = "--simulate";
  for (const std::string& argument : arguments) {
    if (argument == simulate) {
      parsed.scenario = "demo";
    } else if (argument.rfind(simulate + "=", 0) == 0) {
      parsed.scenario = argument.substr(simulate.size() + 1);
    } else if (!argument.empty() && argument[0] != '-' && !parsed.file) {
      parsed.file = argument;
    } else {
      return false;
    }
  }
  return true;
}

WindowLogic::WindowLogic(WindowFront& front, SerialPorts& ports, DeviceTree& tree, Clock& clock,
                         WindowActions actions)
    : state_(std::make_unique<State>(front, ports, tree, clock, std::move(actions))) {}

WindowLogic::~WindowLogic() {
  state_->Shutdown();
  if (state_->worker.joinable()) state_->worker.join();
}

void WindowLogic::Start() {
  State* s = state_.get();
  s->Post([s] { s->FindDevices(); });
}

void WindowLogic::FindDevices() {
  state_->FindDevices();
}

void WindowLogic::Download() {
  State& s = *state_;
  if (s.workerRunning) return;
  if (s.front.SelectedDeviceLine() < 0) {
    s.front.ShowError(NO_DEVICE_TEXT);
    LogLine(s, "%s.", NO_DEVICE_TEXT);
    return;
  }
  const std::string path = s.front.FilePathText();
  if (path.empty()) {
    s.front.ShowError(NO_FILE_TEXT);
    LogLine(s, "%s", NO_FILE_LINE);
    return;
  }
  if (!s.actions.fileExists(path)) {
    s.front.ShowError(FILE_MISSING_TEXT);
    return;
  }
  s.StartWorker();
}

void WindowLogic::Browse() {
  std::string path;
  if (state_->front.ChooseUpdateFile(path)) {
    state_->front.SetFilePathText(path);
  } else {
    LogLine(*state_, "%s", BROWSE_FAILED_LINE);
  }
}

void WindowLogic::ClearLog() {
  state_->front.ClearLogText();
}

void WindowLogic::Close() {
  state_->Shutdown();
  state_->front.EndProgram();
}

void WindowLogic::RunPendingCalls() {
  state_->RunPendingCalls();
}

bool WindowLogic::DownloadRunning() const {
  return state_->workerRunning;
}

Station& WindowLogic::GetStation() {
  return state_->station;
}

}  // namespace iapflash
