#include "cli/device_progress.h"

#include <variant>

#include "cli/cli_panel.h"
#include "cli/terminal.h"

namespace iapflash::cli {
namespace {

// Progress alone redraws the block at most this often; a step or a result redraws it at once.
constexpr uint64_t REDRAW_INTERVAL_MS = 100;
constexpr uint64_t REDRAW_BYTES = 1024;

// text cut to at most width columns, never inside a UTF-8 sequence.
std::string CutToWidth(const std::string& text, int width) {
  int used = 0;
  std::size_t end = 0;
  while (end < text.size()) {
    std::size_t next = end + 1;
    while (next < text.size() && (static_cast<unsigned char>(text[next]) & 0xC0) == 0x80) ++next;
    const int columns = DisplayWidth(std::string_view(text).substr(end, next - end));
    if (used + columns > width) break;
    used += columns;
    end = next;
  }
  return text.substr(0, end);
}

std::string Seconds(uint64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
  return text;
}

const char* StepText(RunStep step, bool switching) {
  switch (step) {
    case RunStep::ReadFile:
      return "reading the update file";
    case RunStep::OpenLink:
      return switching ? "switching to the boot program" : "opening the port";
    case RunStep::Start:
      return "starting the update";
    case RunStep::Program:
      return "programming";
    case RunStep::Verify:
      return "verifying";
    case RunStep::End:
      return "ending the update";
    case RunStep::CloseLink:
      return "closing the port";
  }
  return "";
}

}  // namespace

DeviceProgressLines::DeviceProgressLines(std::FILE* terminal, Clock& clock, bool sharesLogTerminal,
                                         std::function<int()> columns,
                                         std::vector<std::string> labels)
    : terminal_(terminal),
      clock_(clock),
      sharesLogTerminal_(sharesLogTerminal),
      columns_(std::move(columns)),
      labels_(std::move(labels)) {
  devices_.reserve(labels_.size());
  for (std::size_t k = 0; k < labels_.size(); ++k) devices_.emplace_back(clock);
}

void DeviceProgressLines::OnEvent(std::size_t position, const RunEvent& event) {
  if (position >= devices_.size() || finished_) return;
  Device& device = devices_[position];
  const bool moved = device.progress.Observe(event);
  if (const auto* started = std::get_if<StepStarted>(&event)) {
    device.step = started->step;
    device.switching = false;
  } else if (const auto* stage = std::get_if<ModeSwitchStep>(&event)) {
    device.switching = stage->stage == SwitchStage::Requested;
  } else if (std::holds_alternative<PassProgress>(event)) {
    if (!moved) return;
    const uint64_t kib = device.progress.Done() / REDRAW_BYTES;
    if (kib == device.drawnKiB) return;
    device.drawnKiB = kib;
    if (clock_.NowMs() - drawnAtMs_ < REDRAW_INTERVAL_MS) return;
  } else if (!moved && !std::holds_alternative<StepEnded>(event)) {
    return;
  }
  Draw();
}

void DeviceProgressLines::OnDone(std::size_t position, const DeviceOutcome& outcome) {
  if (position >= devices_.size() || finished_) return;
  devices_[position].outcome = outcome;
  Draw();
}

void DeviceProgressLines::BeforeLog() {
  if (sharesLogTerminal_ && !finished_) Erase();
}

void DeviceProgressLines::AfterLog() {
  if (sharesLogTerminal_ && !finished_) Draw();
}

void DeviceProgressLines::Finish() {
  if (finished_) return;
  Draw();
  finished_ = true;
}

std::string DeviceProgressLines::Line(std::size_t position, int width) const {
  const Device& device = devices_[position];
  std::string line = labels_[position];
  const int room = width - DisplayWidth(line);
  if (device.outcome) {
    const DeviceOutcome& outcome = *device.outcome;
    // Built by appending only: gcc 12 at -O3 warns falsely on "literal" + std::string&&.
    if (outcome.finished.success) {
      line.append("succeeded in ").append(Seconds(outcome.ms));
    } else {
      line.append("failed at step ")
          .append(std::to_string(static_cast<int>(outcome.finished.failedStep)))
          .append(" in ")
          .append(Seconds(outcome.ms));
      if (!outcome.failureLine.empty()) line.append(": ").append(outcome.failureLine);
    }
  } else if (device.progress.Active()) {
    line += device.progress.Render(room);
  } else if (device.step) {
    line += StepText(*device.step, device.switching);
  } else {
    line += "waiting";
  }
  // A failure line may hold what a device sent: it never drives the terminal.
  return CutToWidth(WithControlsEscaped(line), width);
}

void DeviceProgressLines::Erase() {
  if (drawnLines_ == 0) return;
  // Up to the block's first line, and everything from there down cleared.
  std::string erase = "\x1b[";
  erase.append(std::to_string(drawnLines_)).append("A\r\x1b[J");
  WriteText(terminal_, erase);
  drawnLines_ = 0;
}

void DeviceProgressLines::Draw() {
  const int columns = columns_ ? columns_() : 0;
  // One column short of the edge: a full line would wrap on some terminals.
  const int width = (columns > 0 ? columns : 80) - 1;
  std::string block;
  if (drawnLines_ > 0) block.append("\x1b[").append(std::to_string(drawnLines_)).append("A\r");
  for (std::size_t k = 0; k < devices_.size(); ++k) block.append(Line(k, width)).append("\x1b[K\n");
  WriteText(terminal_, block);
  drawnLines_ = static_cast<int>(devices_.size());
  drawnAtMs_ = clock_.NowMs();
}

}  // namespace iapflash::cli
