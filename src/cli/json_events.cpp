#include "cli/json_events.h"

#include <variant>

#include "cli/progress.h"

namespace iapflash::cli {
namespace {

// Seconds with millisecond resolution.
double Seconds(uint64_t ms) {
  return static_cast<double>(ms) / 1000.0;
}

}  // namespace

JsonEvents::JsonEvents(TextOut& out, Clock& clock)
    : out_(out), clock_(clock), startMs_(clock.NowMs()) {}

JsonEvents::Object JsonEvents::Start(const char* event) const {
  Object object;
  object["event"] = event;
  object["elapsed"] = Seconds(clock_.NowMs() - startMs_);
  return object;
}

JsonEvents::Object JsonEvents::StartFor(const char* event, std::size_t position) const {
  Object object = Start(event);
  object["position"] = position;
  object["port"] = position < ports_.size() ? ports_[position] : std::string();
  return object;
}

void JsonEvents::Write(const Object& object, TextKind kind) {
  // Text that is not UTF-8 (a device's reply shown as text) is replaced, never refused.
  std::string text = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  text += '\n';
  if (progress_) progress_->BeforeLog();
  out_.Write(text, kind);
  if (progress_) progress_->AfterLog();
}

void JsonEvents::Scan(const DeviceTable& devices) {
  std::lock_guard lock(mutex_);
  Object object = Start("scan");
  Object list = Object::array();
  for (std::size_t k = 0; k < devices.size(); ++k) {
    Object device;
    device["index"] = k;
    Object ports = Object::array();
    for (const PortEntry& port : devices[k].ports) ports.push_back(port.portName);
    device["ports"] = std::move(ports);
    device["iap"] = devices[k].inIapMode;
    device["location"] = devices[k].locationInfo;
    list.push_back(std::move(device));
  }
  object["devices"] = std::move(list);
  Write(object);
}

void JsonEvents::Line(std::string_view line) {
  std::lock_guard lock(mutex_);
  Object object = Start("log");
  object["text"] = std::string(line);
  Write(object);
}

void JsonEvents::SetDevices(const std::vector<DeviceJob>& jobs, DeviceProgressLines* progress) {
  std::lock_guard lock(mutex_);
  progress_ = progress;
  ports_.clear();
  for (const DeviceJob& job : jobs) ports_.push_back(job.port);
  progressShown_.assign(jobs.size(), -1);
}

void JsonEvents::OnLine(std::size_t position, std::string_view line) {
  std::lock_guard lock(mutex_);
  Object object = StartFor("log", position);
  object["text"] = std::string(line);
  Write(object);
}

void JsonEvents::OnEvent(std::size_t position, const RunEvent& event) {
  std::lock_guard lock(mutex_);
  if (progress_) progress_->OnEvent(position, event);
  Object object;
  TextKind kind = TextKind::Log;
  if (const auto* started = std::get_if<StepStarted>(&event)) {
    object = StartFor("step_started", position);
    object["step"] = static_cast<int>(started->step);
    object["name"] = StepName(started->step);
  } else if (const auto* ended = std::get_if<StepEnded>(&event)) {
    object = StartFor("step_ended", position);
    object["step"] = static_cast<int>(ended->step);
    object["name"] = StepName(ended->step);
    object["success"] = ended->success;
  } else if (const auto* progress = std::get_if<PassProgress>(&event)) {
    if (position >= progressShown_.size()) return;
    int64_t& shown = progressShown_[position];
    const auto done = static_cast<int64_t>(progress->done);
    // A pass's first count, then one per KiB, and its last.
    const bool first = done == 0;
    const bool last = progress->done == progress->total && done != shown;
    if (!first && !last && done - shown < static_cast<int64_t>(PROGRESS_REDRAW_BYTES)) return;
    shown = done;
    object = StartFor("progress", position);
    object["pass"] = progress->pass == ImagePass::Program ? "program" : "verify";
    object["done"] = progress->done;
    object["total"] = progress->total;
    kind = TextKind::Progress;
  } else if (const auto* opened = std::get_if<PortOpened>(&event)) {
    object = StartFor("port_opened", position);
    object["opened"] = opened->port;
    object["role"] = opened->role == PortRole::Application ? "application" : "download";
  } else if (const auto* stage = std::get_if<ModeSwitchStep>(&event)) {
    object = StartFor("mode_switch", position);
    if (stage->stage == SwitchStage::Requested) {
      object["stage"] = "requested";
    } else {
      object["stage"] = "found";
      object["boot_port"] = stage->port;
    }
  } else {
    return;  // RunFinished: the result object says it, with the outcome's message and time
  }
  Write(object, kind);
}

void JsonEvents::OnDone(std::size_t position, const DeviceOutcome& outcome) {
  if (!outcome.stopLine.empty()) OnLine(position, outcome.stopLine);
  std::lock_guard lock(mutex_);
  if (progress_) progress_->OnDone(position, outcome);
  Object object = StartFor("result", position);
  const RunFinished& finished = outcome.finished;
  object["success"] = finished.success;
  if (finished.success) {
    object["failed_step"] = nullptr;
    object["failed_step_name"] = nullptr;
    object["layer"] = nullptr;
    object["message"] = nullptr;
  } else {
    object["failed_step"] = static_cast<int>(finished.failedStep);
    object["failed_step_name"] = StepName(finished.failedStep);
    object["layer"] = outcome.interrupted ? "interrupted"
                      : outcome.timedOut  ? "timeout"
                                          : LayerName(finished.layer);
    object["message"] = outcome.FailureLine();
  }
  object["seconds"] = Seconds(outcome.ms);
  Write(object);
}

void JsonEvents::Summary(const std::vector<DeviceOutcome>& outcomes, int exitStatus) {
  std::lock_guard lock(mutex_);
  if (progress_) progress_->Finish();
  std::size_t succeeded = 0;
  for (const DeviceOutcome& outcome : outcomes) succeeded += outcome.finished.success ? 1 : 0;
  Object object = Start("summary");
  object["devices"] = outcomes.size();
  object["succeeded"] = succeeded;
  object["failed"] = outcomes.size() - succeeded;
  object["exit_status"] = exitStatus;
  Write(object);
}

void JsonScanPanel::AppendLog(std::string_view text) {
  lines_.Append(text, [this](std::string_view line) { events_.Line(line); });
}

void JsonScanPanel::ShowDevices(const std::vector<std::string>&, int selected) {
  selected_ = selected;
}

}  // namespace iapflash::cli
