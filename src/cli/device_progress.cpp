#include "cli/device_progress.h"

#include <algorithm>
#include <variant>

#include "cli/terminal_text.h"

namespace iapflash::cli {
namespace {

// Progress alone redraws the block at most this often; a step or a result redraws it at once.
constexpr uint64_t REDRAW_INTERVAL_MS = 100;

std::string SecondsText(uint64_t ms) {
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

DeviceProgressLines::DeviceProgressLines(TextOut& terminal, Clock& clock, bool sharesLogTerminal,
                                         std::function<int()> columns,
                                         std::vector<std::string> labels, std::function<int()> rows)
    : terminal_(terminal),
      clock_(clock),
      sharesLogTerminal_(sharesLogTerminal),
      columns_(std::move(columns)),
      rows_(std::move(rows)),
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
    const uint64_t kib = device.progress.Done() / PROGRESS_REDRAW_BYTES;
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
  Draw(true);
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
      line.append("succeeded in ").append(SecondsText(outcome.ms));
    } else {
      line.append("failed at step ")
          .append(std::to_string(static_cast<int>(outcome.finished.failedStep)))
          .append(" in ")
          .append(SecondsText(outcome.ms));
      if (!outcome.FailureLine().empty()) line.append(": ").append(outcome.FailureLine());
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
  terminal_.Write(erase);
  drawnLines_ = 0;
}

void DeviceProgressLines::Draw(bool last) {
  const int columns = columns_ ? columns_() : 0;
  // One column short of the edge: a full line would wrap on some terminals.
  const int width = (columns > 0 ? columns : 80) - 1;
  // One row short of the height: the cursor stands on the line below the block.
  const int rows = rows_ ? rows_() : 0;
  std::size_t shown = devices_.size();
  if (rows > 1) shown = std::min(shown, static_cast<std::size_t>(rows - 1));
  const bool cut = shown < devices_.size();
  const std::size_t lines = cut ? shown - 1 : shown;
  std::string block;
  if (drawnLines_ > 0) block.append("\x1b[").append(std::to_string(drawnLines_)).append("A\r");
  for (std::size_t k = 0; k < lines; ++k) block.append(Line(k, width)).append("\x1b[K\n");
  if (cut) {
    std::string more = "... ";
    more.append(std::to_string(devices_.size() - lines)).append(" more devices");
    block.append(CutToWidth(more, width)).append("\x1b[K\n");
  }
  const int drawn = static_cast<int>(shown);
  // A redraw over a block of the same height only replaces what stands: it may be dropped.
  const bool inPlace = !last && drawnLines_ == drawn;
  terminal_.Write(block, inPlace ? TextKind::Progress : TextKind::Log);
  drawnLines_ = drawn;
  drawnAtMs_ = clock_.NowMs();
}

}  // namespace iapflash::cli
