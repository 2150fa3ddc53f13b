#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace iapflash::cli {

enum class TextKind : uint8_t {
  Log,       // kept: the log, results, the command's own messages
  Progress,  // a redraw of progress that the next one replaces: dropped when output falls behind
};

// Where a part of the command writes its text: one stream, at once or through the writer.
class TextOut {
 public:
  virtual ~TextOut() = default;
  // The text goes out whole, never cut by another write.
  virtual void Write(std::string_view text, TextKind kind = TextKind::Log) = 0;
};

// Writes on the caller's thread, at once (list, tests).
class DirectOut final : public TextOut {
 public:
  explicit DirectOut(std::FILE* stream) : stream_(stream) {}
  void Write(std::string_view text, TextKind kind = TextKind::Log) override;

 private:
  std::FILE* stream_;
};

// Writes text to a stream; false, with the system's words in error, when the write failed.
using StreamWriter =
    std::function<bool(std::FILE* stream, std::string_view text, std::string& error)>;

// The command's one writer of stdout and stderr while devices run: the runs queue their text and
// never wait for a reader, so a pipe nobody reads, a full disk or a terminal stopped with Ctrl+S
// never holds a download; the time limit and signals end the runs whatever the writer does.
// The text goes out in the order it was queued, stdout's and stderr's together.
//
// Bounds: progress is dropped once PROGRESS_BOUND bytes wait (the next redraw shows the same
// and more); log text is kept up to LOG_BOUND bytes waiting, far beyond what runs write (a few
// KiB per device), and past it lost lines are counted (LostLines) for the command to report.
// A stream whose write failed takes no more text; its failure is kept (Failure).
class OutputQueue {
 public:
  static constexpr std::size_t PROGRESS_BOUND = 64 * 1024;
  static constexpr std::size_t LOG_BOUND = 16 * 1024 * 1024;
  // After an interruption, Drain gives up on a writer that has written nothing for this long.
  static constexpr int STALL_MS = 500;

  explicit OutputQueue(StreamWriter writer);
  // Waits for the writer to finish what is queued, unless Drain gave up on it.
  ~OutputQueue();
  OutputQueue(const OutputQueue&) = delete;
  OutputQueue& operator=(const OutputQueue&) = delete;

  TextOut& Stdout() { return stdout_; }
  TextOut& Stderr() { return stderr_; }
  void Write(std::FILE* stream, std::string_view text, TextKind kind);

  // A signal came (any thread): Drain no longer waits for a writer that makes no progress.
  void Interrupt();
  // Waits until everything queued is written; true then. After Interrupt, gives up (false) once
  // the writer has written nothing for STALL_MS.
  bool Drain();

  // The first failure of writing to stream, in the system's words; empty when none.
  std::string Failure(std::FILE* stream) const;
  // Log lines lost to LOG_BOUND.
  std::size_t LostLines() const;

 private:
  class Out final : public TextOut {
   public:
    Out(OutputQueue& queue, std::FILE* stream) : queue_(queue), stream_(stream) {}
    void Write(std::string_view text, TextKind kind) override { queue_.Write(stream_, text, kind); }

   private:
    OutputQueue& queue_;
    std::FILE* stream_;
  };

  struct Item {
    std::FILE* stream;
    std::string text;
  };

  // Shared with the writer thread, which may outlive the queue when Drain gave up on it.
  struct State {
    explicit State(StreamWriter w) : writer(std::move(w)) {}
    StreamWriter writer;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<Item> items;
    std::size_t queuedBytes = 0;
    bool writing = false;
    bool stopping = false;
    bool interrupted = false;
    uint64_t written = 0;  // items written (or refused), for Drain to see progress
    std::size_t lostLines = 0;
    std::map<std::FILE*, std::string> failures;
  };

  static void Run(const std::shared_ptr<State>& state);

  std::shared_ptr<State> state_;
  std::thread writer_;
  bool gaveUp_ = false;
  Out stdout_{*this, stdout};
  Out stderr_{*this, stderr};
};

}  // namespace iapflash::cli
