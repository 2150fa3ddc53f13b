#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "cli/output_queue.h"
#include "log/run_events.h"
#include "platform/clock.h"

namespace iapflash::cli {

// Progress is redrawn (and written as JSON) whenever another this many bytes of a pass are done,
// and when a pass ends.
inline constexpr uint64_t PROGRESS_REDRAW_BYTES = 1024;

// Follows a download's events and works out how far the program and verify passes have come.
class DownloadProgress {
 public:
  explicit DownloadProgress(Clock& clock) : clock_(clock) {}

  // One event of the run, in the order the run emitted them. True when what Render shows may
  // have changed.
  bool Observe(const RunEvent& event);

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

  Clock& clock_;
  Phase phase_ = Phase::Idle;
  uint32_t imageLength_ = 0;
  uint64_t programmed_ = 0;
  uint64_t verified_ = 0;
  uint64_t startedMs_ = 0;
};

// Draws a DownloadProgress on a terminal (stderr) as the run's events come, and around the log's
// writes. When the log goes to the same terminal, the bar stands on the log's current line after
// the cursor and is erased before each log write; otherwise it owns its line and is redrawn in
// place. The bar is redrawn whenever another PROGRESS_REDRAW_BYTES of a pass are done, and when
// a pass ends; a redraw may be dropped when the terminal falls behind.
class ProgressView final : public RunEventSink {
 public:
  ProgressView(TextOut& terminal, Clock& clock, bool sharesLogTerminal,
               std::function<int()> columns);
  ProgressView(const ProgressView&) = delete;
  ProgressView& operator=(const ProgressView&) = delete;

  void OnEvent(const RunEvent& event) override;
  void BeforeLog();
  void AfterLog(std::string_view text);
  // The run has ended: a bar on its own line ends that line.
  void Finish();

 private:
  void Draw();

  TextOut& terminal_;
  DownloadProgress progress_;
  bool sharesLogTerminal_;
  std::function<int()> columns_;
  int logColumn_ = 0;  // where the log's cursor stands on its current line
  bool drawn_ = false;
  bool lineEnded_ = false;
  uint64_t drawnKiB_ = 0;  // Done() in whole KiB when last drawn
};

}  // namespace iapflash::cli
