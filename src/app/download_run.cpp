#include "app/download_run.h"

#include <string_view>
#include <variant>

#include "image/memory_file.h"
#include "image/update_file.h"
#include "link/iap_commands.h"

namespace iapflash {
namespace {

// The mode switch's word that the application answered something else: the switch goes on, so
// the line is a warning, never the failure.
constexpr std::string_view SWITCH_WARNING = "设备无响应2:";

// Passes the run's log and events on, and keeps the failure line as the run writes it: the first
// whole line since the last point reached (a step's start, a port opened, a mode-switch stage),
// its leading blanks and the progress dots before it left out.
class FailureWatch final : public LogSink, public RunEventSink {
 public:
  FailureWatch(LogSink& log, RunEventSink& events) : log_(log), events_(events) {}

  void AppendLog(std::string_view text) override {
    log_.AppendLog(text);
    if (text.find_first_not_of('.') == std::string_view::npos) return;  // progress dots
    for (const char c : text) {
      if (c != '\n') {
        line_ += c;
        continue;
      }
      if (!line_.empty() && line_.back() == '\r') line_.pop_back();
      const std::size_t start = line_.find_first_not_of(' ');
      const std::string_view shown =
          start == std::string::npos ? std::string_view() : std::string_view(line_).substr(start);
      if (!sinceMark_ && shown.substr(0, SWITCH_WARNING.size()) != SWITCH_WARNING) {
        sinceMark_ = std::string(shown);
      }
      line_.clear();
    }
  }

  void OnEvent(const RunEvent& event) override {
    if (std::holds_alternative<StepStarted>(event) || std::holds_alternative<PortOpened>(event) ||
        std::holds_alternative<ModeSwitchStep>(event)) {
      sinceMark_.reset();
    }
    events_.OnEvent(event);
  }

  std::string SinceMark() const { return sinceMark_.value_or(""); }

 private:
  LogSink& log_;
  RunEventSink& events_;
  std::string line_;  // the line being written, without progress dots
  std::optional<std::string> sinceMark_;
};

// One run's steps: their lines, their events and where the run failed.
class Steps {
 public:
  Steps(RunContext& run, const FailureWatch& watch) : run_(run), log_(run.env.log), watch_(watch) {}

  void Starts(RunStep step, const char* line) {
    LogLine(log_, "%s", line);
    run_.env.events.OnEvent(StepStarted{step});
  }
  void Succeeds(RunStep step, const char* line = nullptr) {
    if (line) LogLine(log_, "%s", line);
    run_.env.events.OnEvent(StepEnded{step, true});
  }
  // stepLine, then "  下载失败"; the run goes on to close the link.
  void Fails(RunStep step, FailureLayer layer, const char* stepLine = nullptr) {
    if (stepLine) LogLine(log_, "%s", stepLine);
    LogLine(log_, "  下载失败");
    run_.env.events.OnEvent(StepEnded{step, false});
    failedStep_ = step;
    layer_ = layer;
    if (failureLine_.empty()) failureLine_ = watch_.SinceMark();
  }
  // For a command of steps 3 to 5: the device's refusal, or a fault of the link.
  void CommandFails(RunStep step, const CommandResult& result, const char* stepLine) {
    Fails(step, result.error == LinkError::DeviceStatus ? FailureLayer::Device : FailureLayer::Link,
          stepLine);
  }
  RunFinished Result(bool success) const {
    return {success, failedStep_, success ? FailureLayer::None : layer_,
            success ? std::string() : failureLine_};
  }

 private:
  RunContext& run_;
  LogSink& log_;
  const FailureWatch& watch_;
  std::string failureLine_;
  RunStep failedStep_ = RunStep::ReadFile;
  FailureLayer layer_ = FailureLayer::None;
};

// Steps 2 to 6 on a loaded image; returns whether the verify pass succeeded. The link is left
// open for the caller to close.
bool Transfer(RunContext& run, Steps& steps, std::optional<Link>& link, const UpdateImage& image) {
  LogSink& log = run.env.log;
  steps.Starts(RunStep::OpenLink, "2.打开下载接口>>");
  const std::optional<DeviceEntry> device = run.inputs.Device();
  if (!device) {
    LogLine(log, "    没有选择下载设备");
    steps.Fails(RunStep::OpenLink, FailureLayer::Selection);
    return false;
  }
  LinkOpening opening = LinkOpen(run.env, *device);
  if (!opening.link) {
    steps.Fails(RunStep::OpenLink, opening.failure);
    return false;
  }
  link = std::move(opening.link);
  steps.Succeeds(RunStep::OpenLink);

  const auto length = static_cast<uint32_t>(image.bytes.size());
  steps.Starts(RunStep::Start, "3.开始更新FLASH>>");
  if (const CommandResult started = IapStart(*link, length, image.checksum); !started.Ok()) {
    steps.CommandFails(RunStep::Start, started, "  失败.");
    return false;
  }
  steps.Succeeds(RunStep::Start, "  成功");
  steps.Starts(RunStep::Program, "4.写FLASH>>");
  if (const CommandResult programmed = IapTransferImage(*link, IapCode::Program, image.bytes);
      !programmed.Ok()) {
    steps.CommandFails(RunStep::Program, programmed, "  失败.");
    return false;
  }
  steps.Succeeds(RunStep::Program, "  成功");
  steps.Starts(RunStep::Verify, "5.下载检验>>");
  if (const CommandResult verified = IapTransferImage(*link, IapCode::Verify, image.bytes);
      !verified.Ok()) {
    steps.CommandFails(RunStep::Verify, verified, "  出错.");
    return false;
  }
  steps.Succeeds(RunStep::Verify, "  成功");
  // The image is in and verified: what the end command says no longer changes the outcome.
  steps.Starts(RunStep::End, "6.下载结束>>");
  const bool ended = IapEnd(*link, length, image.checksum).Ok();
  LogLine(log, ended ? "  END结束" : "  END失败");
  IapReset(*link);
  run.env.events.OnEvent(StepEnded{RunStep::End, ended});
  return true;
}

}  // namespace

std::optional<DeviceEntry> StationInputs::Device() {
  const int selected = station_.panel.SelectedDevice();
  if (selected < 0 || static_cast<std::size_t>(selected) >= station_.devices.size()) {
    return std::nullopt;
  }
  return station_.devices[static_cast<std::size_t>(selected)];
}

namespace {

std::optional<UpdateImage> LoadImage(LogSink& log, RunInputs& inputs) {
  const std::string path = inputs.FilePath();
  const std::vector<uint8_t>* held = inputs.HeldFile();
  if (held == nullptr) return LoadUpdateFile(log, path);
  MemoryFile file(*held);
  return LoadUpdateFrom(log, path, file);
}

}  // namespace

RunFinished DownloadRun(RunContext& outer) {
  FailureWatch watch(outer.env.log, outer.env.events);
  RunContext run{{outer.env.ports, outer.env.tree, outer.env.clock, watch, watch}, outer.inputs};
  LogSink& log = run.env.log;
  Steps steps(run, watch);
  LogLine(log, "\r\n****开始通过串口接口进行IAP下载:");
  steps.Starts(RunStep::ReadFile, "1.读取下载文件内容>>");

  bool success = false;
  std::optional<Link> link;
  const std::optional<UpdateImage> image = LoadImage(log, run.inputs);
  // The start command erases the application: an image with nothing in it never gets there.
  const bool empty = image && image->bytes.empty();
  if (empty) LogLine(log, "    下载文件中没有数据");
  if (image && !empty) {
    LogLine(log, "  已读取下载数据%d字节", static_cast<int>(image->bytes.size()));
    steps.Succeeds(RunStep::ReadFile);
    success = Transfer(run, steps, link, *image);
  } else {
    steps.Fails(RunStep::ReadFile, FailureLayer::Image, "  读下载文件失败");
  }

  steps.Starts(RunStep::CloseLink, "7.关闭下载接口>>");
  LinkClose(log, link);
  steps.Succeeds(RunStep::CloseLink);
  if (success) {
    LogLine(log, "****固件下载成功.");
  } else {
    LogLine(log,
            "****固件下载失败!\r\n   1.检查通讯接口以及连线是否正确;\r\n    "
            "2.MCU内有没有烧入IAP程序;\r\n    3.MCU有没有进入到IAP下载模式;");
  }
  const RunFinished result = steps.Result(success);
  run.env.events.OnEvent(result);
  return result;
}

RunFinished DownloadRunAt(Station& station, RunEventSink& events) {
  StationInputs inputs(station);
  RunContext run{{station.ports, station.tree, station.clock, station.panel, events}, inputs};
  return DownloadRun(run);
}

}  // namespace iapflash
