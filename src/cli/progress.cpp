#include "cli/progress.h"

#include <algorithm>
#include <charconv>

namespace iapflash::cli {
namespace {

constexpr uint32_t BYTES_PER_DOT = 1024;
constexpr std::string_view READ_PREFIX = "  已读取下载数据";
constexpr std::string_view READ_SUFFIX = "字节";
constexpr std::string_view PROGRAM_STEP = "4.写FLASH>>";
constexpr std::string_view VERIFY_STEP = "5.下载检验>>";
constexpr std::string_view PASS_DONE = "  成功";
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

void DownloadProgress::Observe(std::string_view text) {
  if (text == ".") {
    // Dots while the start reply is awaited come before step 4 and count nothing.
    if (phase_ == Phase::Program) {
      programmed_ = std::min<uint64_t>(programmed_ + BYTES_PER_DOT, imageLength_);
    } else if (phase_ == Phase::Verify) {
      verified_ = std::min<uint64_t>(verified_ + BYTES_PER_DOT, imageLength_);
    }
    return;
  }
  // A log line arrives whole, ended by "\r\n"; the failure summary holds several.
  while (!text.empty()) {
    const std::size_t end = text.find("\r\n");
    OnLine(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 2);
  }
}

void DownloadProgress::OnLine(std::string_view line) {
  if (line.starts_with(READ_PREFIX) && line.ends_with(READ_SUFFIX)) {
    const std::string_view digits =
        line.substr(READ_PREFIX.size(), line.size() - READ_PREFIX.size() - READ_SUFFIX.size());
    uint32_t length = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), length);
    if (error == std::errc{} && end == digits.data() + digits.size()) imageLength_ = length;
    return;
  }
  if (line == PROGRAM_STEP && phase_ == Phase::Idle) {
    phase_ = Phase::Program;
    startedMs_ = clock_.NowMs();
    return;
  }
  if (line == VERIFY_STEP && phase_ == Phase::Program) {
    programmed_ = imageLength_;
    phase_ = Phase::Verify;
    return;
  }
  if (!Active()) return;
  if (line == PASS_DONE) {
    if (phase_ == Phase::Program) {
      programmed_ = imageLength_;
    } else {
      verified_ = imageLength_;
      phase_ = Phase::Over;
    }
    return;
  }
  // Any other line in a pass is its failure: the bar stops where it stood.
  if (!line.empty() && line.front() != ' ') phase_ = Phase::Over;
  if (line == "  失败." || line == "  出错.") phase_ = Phase::Over;
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

int DisplayWidth(std::string_view text) {
  int width = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      ++width;
    } else if (byte >= 0xE0) {
      width += 2;
    } else if (byte >= 0xC0) {
      ++width;
    }  // continuation bytes take no column of their own
  }
  return width;
}

ProgressView::ProgressView(std::FILE* terminal, Clock& clock, bool sharesLogTerminal,
                           std::function<int()> columns)
    : terminal_(terminal),
      progress_(clock),
      sharesLogTerminal_(sharesLogTerminal),
      columns_(std::move(columns)) {}

ProgressView::~ProgressView() {
  if (drawn_ && !sharesLogTerminal_ && !lineEnded_) {
    std::fputs("\n", terminal_);
    std::fflush(terminal_);
  }
}

void ProgressView::BeforeLog() {
  if (drawn_ && sharesLogTerminal_) {
    std::fputs("\x1b[K", terminal_);  // erase the bar after the log's cursor
    std::fflush(terminal_);
    drawn_ = false;
  }
}

void ProgressView::AfterLog(std::string_view text) {
  const std::size_t lineEnd = text.find_last_of('\n');
  if (lineEnd == std::string_view::npos) {
    logColumn_ += DisplayWidth(text);
  } else {
    logColumn_ = DisplayWidth(text.substr(lineEnd + 1));
  }
  const bool wasActive = progress_.Active();
  progress_.Observe(text);
  const int columns = columns_ ? columns_() : 0;
  const int width = (columns > 0 ? columns : 80) - 1;

  if (sharesLogTerminal_) {
    if (!progress_.Active()) return;
    const std::string bar = progress_.Render(width - logColumn_ - 1);
    if (bar.empty()) return;
    // Saved and restored cursor: the next log byte lands where the log left off.
    std::fprintf(terminal_,
                 "\x1b"
                 "7 %s\x1b"
                 "8",
                 bar.c_str());
    std::fflush(terminal_);
    drawn_ = true;
    return;
  }
  if (!progress_.Active() && !wasActive) return;
  if (lineEnded_) return;
  std::fprintf(terminal_, "\r%s\x1b[K", progress_.Render(width).c_str());
  drawn_ = true;
  if (!progress_.Active()) {
    std::fputs("\n", terminal_);
    lineEnded_ = true;
  }
  std::fflush(terminal_);
}

}  // namespace iapflash::cli
