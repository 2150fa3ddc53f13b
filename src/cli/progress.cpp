#include "cli/progress.h"

#include <algorithm>
#include <string>
#include <variant>

#include "cli/terminal_text.h"

namespace iapflash::cli {
namespace {

constexpr int MAX_BAR = 30;
constexpr int MIN_BAR = 8;

std::string Rate(double bytesPerSecond) {
  char text[32];
  if (bytesPerSecond >= 1024.0 * 1024.0) {
    std::snprintf(text, sizeof text, "%.1f MiB/s", bytesPerSecond / (1024.0 * 1024.0));
  } else {
    std::snprintf(text, sizeof text, "%.1f KiB/s", bytesPerSecond / 1024.0);
  }
  return text;
}

std::string Duration(uint64_t seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                static_cast<unsigned long long>(seconds % 60));
  return text;
}

}  // namespace

bool DownloadProgress::Observe(const RunEvent& event) {
  if (const auto* started = std::get_if<StepStarted>(&event)) {
    if (started->step == RunStep::Program && phase_ == Phase::Idle) {
      phase_ = Phase::Program;
      startedMs_ = clock_.NowMs();
    } else if (started->step == RunStep::Verify && phase_ == Phase::Program) {
      programmed_ = imageLength_;
      phase_ = Phase::Verify;
    }
    return false;
  }
  if (const auto* progress = std::get_if<PassProgress>(&event)) {
    const Phase pass = progress->pass == ImagePass::Program ? Phase::Program : Phase::Verify;
    if (phase_ != pass) return false;
    imageLength_ = progress->total;
    (pass == Phase::Program ? programmed_ : verified_) = std::min(progress->done, progress->total);
    return true;
  }
  if (const auto* ended = std::get_if<StepEnded>(&event)) {
    if (!Active()) return false;
    const bool program = ended->step == RunStep::Program && phase_ == Phase::Program;
    const bool verify = ended->step == RunStep::Verify && phase_ == Phase::Verify;
    if (!program && !verify) return false;
    // A failed pass leaves the bar where it stood.
    if (!ended->success) {
      phase_ = Phase::Over;
    } else if (program) {
      programmed_ = imageLength_;
    } else {
      verified_ = imageLength_;
      phase_ = Phase::Over;
    }
    return true;
  }
  if (std::holds_alternative<RunFinished>(event) && Active()) {
    phase_ = Phase::Over;
    return true;
  }
  return false;
}

std::string DownloadProgress::Render(int width) const {
  const uint64_t total = Total();
  const uint64_t done = Done();
  const unsigned percent = total == 0 ? 100u : static_cast<unsigned>(done * 100 / total);
  char head[16];
  std::snprintf(head, sizeof head, "%3u%%", percent);

  // Built by appending only: gcc 12 at -O3 warns falsely on "literal" + std::string&&.
  std::string tail;
  tail.append("  ").append(std::to_string(done)).append("/").append(std::to_string(total));
  tail.append(" B");
  const uint64_t elapsedMs = clock_.NowMs() - startedMs_;
  if (elapsedMs > 0 && done > 0) {
    const double rate = static_cast<double>(done) * 1000.0 / static_cast<double>(elapsedMs);
    tail.append("  ").append(Rate(rate));
    if (done < total) {
      const auto left = static_cast<uint64_t>(static_cast<double>(total - done) / rate);
      tail.append("  ").append(Duration(left)).append(" left");
    }
  }

  const int headWidth = static_cast<int>(std::string_view(head).size());
  if (width < headWidth) return {};
  std::string text = head;
  if (width >= headWidth + static_cast<int>(tail.size())) text.append(tail);
  const int room = width - static_cast<int>(text.size()) - 3;  // brackets and a blank
  if (room < MIN_BAR) return text;
  const int bar = std::min(room, MAX_BAR);
  const int filled = total == 0 ? bar : static_cast<int>(done * static_cast<uint64_t>(bar) / total);
  std::string shown;
  shown.append("[")
      .append(static_cast<std::size_t>(filled), '#')
      .append(static_cast<std::size_t>(bar - filled), '-')
      .append("] ")
      .append(text);
  return shown;
}

ProgressView::ProgressView(TextOut& terminal, Clock& clock, bool sharesLogTerminal,
                           std::function<int()> columns)
    : terminal_(terminal),
      progress_(clock),
      sharesLogTerminal_(sharesLogTerminal),
      columns_(std::move(columns)) {}

void ProgressView::Finish() {
  if (drawn_ && !sharesLogTerminal_ && !lineEnded_) {
    terminal_.Write("\n");
    lineEnded_ = true;
  }
}

void ProgressView::BeforeLog() {
  if (drawn_ && sharesLogTerminal_) {
    terminal_.Write("\x1b[K");  // erase the bar after the log's cursor
    drawn_ = false;
  }
}

void ProgressView::OnEvent(const RunEvent& event) {
  const bool wasActive = progress_.Active();
  if (!progress_.Observe(event)) return;
  const uint64_t kib = progress_.Done() / PROGRESS_REDRAW_BYTES;
  // Every packet moves the count: the bar follows in KiB steps and at a pass's end.
  if (std::holds_alternative<PassProgress>(event) && progress_.Done() != 0 &&
      progress_.Done() != progress_.Total() && kib == drawnKiB_) {
    return;
  }
  drawnKiB_ = kib;
  if (sharesLogTerminal_) {
    BeforeLog();
    if (progress_.Active()) Draw();
    return;
  }
  if (!progress_.Active() && !wasActive) return;
  Draw();
}

void ProgressView::AfterLog(std::string_view text) {
  const std::size_t lineEnd = text.find_last_of('\n');
  if (lineEnd == std::string_view::npos) {
    logColumn_ += DisplayWidth(text);
  } else {
    logColumn_ = DisplayWidth(text.substr(lineEnd + 1));
  }
  // The log's write took the bar's place beside it: put it back after the cursor.
  if (sharesLogTerminal_ && progress_.Active()) Draw();
}

void ProgressView::Draw() {
  const int columns = columns_ ? columns_() : 0;
  const int width = (columns > 0 ? columns : 80) - 1;

  if (sharesLogTerminal_) {
    const std::string bar = progress_.Render(width - logColumn_ - 1);
    if (bar.empty()) return;
    // Saved and restored cursor: the next log byte lands where the log left off.
    terminal_.Write(
        "\x1b"
        "7 " +
            bar +
            "\x1b"
            "8",
        TextKind::Progress);
    drawn_ = true;
    return;
  }
  if (lineEnded_) return;
  // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) on "\r" + std::string.
  std::string line = "\r";
  line += progress_.Render(width);
  line += "\x1b[K";
  drawn_ = true;
  if (!progress_.Active()) {
    line += "\n";
    lineEnded_ = true;
  }
  // A bar that ends its line is kept; one the next redraw replaces may be dropped.
  terminal_.Write(line, lineEnded_ ? TextKind::Log : TextKind::Progress);
}

}  // namespace iapflash::cli
