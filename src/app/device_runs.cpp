#include "app/device_runs.h"

#include <thread>
#include <variant>

#include "app/download_run.h"
#include "app/time_limit.h"

namespace iapflash {
namespace {

// One run's log and events on their way to the report: the log as it comes and cut into
// whole lines.
class Channel final : public LogSink, public RunEventSink {
 public:
  Channel(std::size_t position, DeviceRunsReport& report) : position_(position), report_(report) {}

  void AppendLog(std::string_view text) override {
    report_.OnText(position_, text);
    lines_.Append(text, [this](std::string_view line) { report_.OnLine(position_, line); });
  }

  void OnEvent(const RunEvent& event) override { report_.OnEvent(position_, event); }

  // A last line the run left without its end.
  void Flush() {
    const std::string rest = lines_.TakeRest();
    if (!rest.empty()) report_.OnLine(position_, rest);
  }

 private:
  std::size_t position_;
  DeviceRunsReport& report_;
  WholeLines lines_;
};

}  // namespace

DeviceOutcome RunOne(const DeviceRunSeams& seams, const std::string& path, const DeviceJob& job,
                     std::size_t position, DeviceRunsReport& report, const DeviceRunLimits& limits,
                     const std::vector<uint8_t>* heldFile) {
  Channel channel(position, report);
  FixedRunInputs inputs(path, job.entry, heldFile);
  const uint64_t startedMs = seams.clock.NowMs();
  DeviceOutcome outcome;
  {
    TimeLimit limit(seams.ports, seams.clock, limits.timeLimitMs);
    RunContext run{{limit.Ports(), seams.tree, limit.GetClock(), channel, channel}, inputs};
    outcome.finished = DownloadRun(run);
    if (!outcome.finished.success) {
      const std::string interruption = limits.interruption ? limits.interruption() : "";
      if (!interruption.empty()) {
        outcome.interrupted = true;
        outcome.stopLine = InterruptionLine(interruption);
      } else if (limit.Expired()) {
        outcome.timedOut = true;
        outcome.stopLine = limit.Line();
      }
    }
  }
  outcome.ms = seams.clock.NowMs() - startedMs;
  channel.Flush();
  report.OnDone(position, outcome);
  return outcome;
}

void WholeLines::Append(std::string_view text,
                        const std::function<void(std::string_view)>& onLine) {
  pending_.append(text);
  std::size_t start = 0;
  for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string_view line(pending_.data() + start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    onLine(line);
  }
  pending_.erase(0, start);
}

std::string WholeLines::TakeRest() {
  std::string rest = std::move(pending_);
  pending_.clear();
  return rest;
}

std::string InterruptionLine(const std::string& name, std::size_t runs) {
  return std::string(runs > 1 ? "iapflash: the runs were interrupted by "
                              : "iapflash: the run was interrupted by ") +
         name;
}

bool AnyInterrupted(const std::vector<DeviceOutcome>& outcomes) {
  for (const DeviceOutcome& outcome : outcomes) {
    if (outcome.interrupted) return true;
  }
  return false;
}

std::vector<DeviceOutcome> RunDevices(const DeviceRunSeams& seams, const std::string& path,
                                      const std::vector<DeviceJob>& jobs, DeviceRunsReport& report,
                                      const DeviceRunLimits& limits,
                                      const std::vector<uint8_t>* heldFile) {
  std::vector<DeviceOutcome> outcomes(jobs.size());
  {
    // Joined when the block ends, also when a later thread cannot be started.
    std::vector<std::jthread> runs;
    runs.reserve(jobs.size());
    for (std::size_t k = 0; k < jobs.size(); ++k) {
      runs.emplace_back(
          [&, k] { outcomes[k] = RunOne(seams, path, jobs[k], k, report, limits, heldFile); });
    }
  }
  return outcomes;
}

}  // namespace iapflash
