#include "app/device_runs.h"

#include <thread>
#include <variant>

#include "app/download_run.h"
#include "app/time_limit.h"

namespace iapflash {
namespace {

// One run's log and events on their way to the report: the log cut into whole lines, and the
// failing step's first line kept.
class Channel final : public LogSink, public RunEventSink {
 public:
  Channel(std::size_t position, DeviceRunsReport& report) : position_(position), report_(report) {}

  void AppendLog(std::string_view text) override {
    lines_.Append(text, [this](std::string_view line) { Line(line); });
  }

  void OnEvent(const RunEvent& event) override {
    if (std::holds_alternative<StepStarted>(event) || std::holds_alternative<PortOpened>(event) ||
        std::holds_alternative<ModeSwitchStep>(event)) {
      sinceMark_.reset();
    }
    const auto* ended = std::get_if<StepEnded>(&event);
    if (ended && !ended->success && !failureLine_) failureLine_ = sinceMark_.value_or("");
    report_.OnEvent(position_, event);
  }

  // A last line the run left without its end.
  void Flush() {
    const std::string rest = lines_.TakeRest();
    if (!rest.empty()) Line(rest);
  }

  // A line of the command's own after the run's log.
  void Say(const std::string& line) { report_.OnLine(position_, line); }

  std::string FailureLine() const { return failureLine_.value_or(""); }

 private:
  void Line(std::string_view line) {
    if (!sinceMark_) sinceMark_ = std::string(FailureText(line));
    report_.OnLine(position_, line);
  }

  std::size_t position_;
  DeviceRunsReport& report_;
  WholeLines lines_;
  std::optional<std::string> sinceMark_;  // the first whole line since the last mark
  std::optional<std::string> failureLine_;
};

DeviceOutcome RunOne(const DeviceRunSeams& seams, const std::string& path, const DeviceJob& job,
                     std::size_t position, DeviceRunsReport& report,
                     const DeviceRunLimits& limits) {
  Channel channel(position, report);
  FixedRunInputs inputs(path, job.entry);
  const uint64_t startedMs = seams.clock.NowMs();
  DeviceOutcome outcome;
  std::string stopLine;
  {
    TimeLimit limit(seams.ports, seams.clock, limits.timeLimitMs);
    RunContext run{{limit.Ports(), seams.tree, limit.GetClock(), channel, channel}, inputs};
    outcome.finished = DownloadRun(run);
    if (!outcome.finished.success) {
      const std::string interruption = limits.interruption ? limits.interruption() : "";
      if (!interruption.empty()) {
        outcome.interrupted = true;
        stopLine = InterruptionLine(interruption);
      } else if (limit.Expired()) {
        outcome.timedOut = true;
        stopLine = limit.Line();
      }
    }
  }
  outcome.ms = seams.clock.NowMs() - startedMs;
  channel.Flush();
  if (!stopLine.empty()) channel.Say(stopLine);
  if (!outcome.finished.success) {
    outcome.failureLine = stopLine.empty() ? channel.FailureLine() : stopLine;
  }
  report.OnDone(position, outcome);
  return outcome;
}

}  // namespace

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

std::string_view FailureText(std::string_view line) {
  const std::size_t start = line.find_first_not_of(" .");
  return start == std::string_view::npos ? std::string_view() : line.substr(start);
}

std::string InterruptionLine(const std::string& name) {
  return "iapflash: the run was interrupted by " + name;
}

std::vector<DeviceOutcome> RunDevices(const DeviceRunSeams& seams, const std::string& path,
                                      const std::vector<DeviceJob>& jobs, DeviceRunsReport& report,
                                      const DeviceRunLimits& limits) {
  std::vector<DeviceOutcome> outcomes(jobs.size());
  {
    // Joined when the block ends, also when a later thread cannot be started.
    std::vector<std::jthread> runs;
    runs.reserve(jobs.size());
    for (std::size_t k = 0; k < jobs.size(); ++k) {
      runs.emplace_back([&, k] { outcomes[k] = RunOne(seams, path, jobs[k], k, report, limits); });
    }
  }
  return outcomes;
}

}  // namespace iapflash
