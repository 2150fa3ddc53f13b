#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace iapflash::cli {

// Follows a download's log and works out how far the program and verify passes have come: the
// image length from the read step's line, then one dot per 1024 bytes sent in steps 4 and 5 and
// the whole length at each pass's "  成功". The core stays unaware of it.
class DownloadProgress {
 public:
  explicit DownloadProgress(Clock& clock) : clock_(clock) {}

  // One append to the log pane, exactly as the panel received it.
  void Observe(std::string_view text);

  // From the program pass's step line until both passes are over or one failed.
  bool Active() const { return phase_ == Phase::Program || phase_ == Phase::Verify; }
  bool Started() const { return phase_ != Phase::Idle; }
  // Bytes programmed plus bytes verified, out of twice the image length.
  uint64_t Done() const { return programmed_ + verified_; }
  uint64_t Total() const { return 2ull * imageLength_; }

  // "[####------]  45%  92160/204800 B  10.2 KiB/s  0:11 left", shortened to fit within width
  // columns; empty when not even the percentage fits.
  std::string Render(int width) const;

 private:
  enum class Phase { Idle, Program, Verify, Over };
  void OnLine(std::string_view line);

  Clock& clock_;
  Phase phase_ = Phase::Idle;
  uint32_t imageLength_ = 0;
  uint64_t programmed_ = 0;
  uint64_t verified_ = 0;
  uint64_t startedMs_ = 0;
};

// Columns that UTF-8 text takes on a terminal: one per ASCII character, two per character of
// three or four bytes (the log's Chinese), one otherwise.
int DisplayWidth(std::string_view text);

// Draws a DownloadProgress on a terminal (stderr) around the log's writes. When the log goes to
// the same terminal, the bar stands on the log's current line after the cursor and is erased
// before each log write; otherwise it owns its line and is redrawn in place.
class ProgressView {
 public:
  ProgressView(std::FILE* terminal, Clock& clock, bool sharesLogTerminal,
               std::function<int()> columns);
  ~ProgressView();
  ProgressView(const ProgressView&) = delete;
  ProgressView& operator=(const ProgressView&) = delete;

  void BeforeLog();
  void AfterLog(std::string_view text);

 private:
  std::FILE* terminal_;
  DownloadProgress progress_;
  bool sharesLogTerminal_;
  std::function<int()> columns_;
  int logColumn_ = 0;  // where the log's cursor stands on its current line
  bool drawn_ = false;
  bool lineEnded_ = false;
};

}  // namespace iapflash::cli
