// The command's one writer: runs never wait for it, progress gives way before the log, and a
// stream that cannot be written says why.
#include "cli/output_queue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace iapflash::cli {
namespace {

using ::testing::ElementsAre;

// A writer held shut until the test opens it, as a reader that does not read holds a pipe. It
// keeps what it wrote, and fails the stream named failing from the write numbered failAt on.
class HeldWriter {
 public:
  StreamWriter Writer() {
    return [this](std::FILE* stream, std::string_view text, std::string& error) {
      std::unique_lock lock(mutex_);
      ++entered_;
      changed_.notify_all();
      changed_.wait(lock, [&] { return open_; });
      if (stream == failing && ++failingWrites >= failAt) {
        error = "Broken pipe";
        return false;
      }
      written_.emplace_back(stream, std::string(text));
      return true;
    };
  }
  void WaitUntilHeld() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return entered_ > 0; });
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  std::vector<std::string> Written(std::FILE* stream) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const auto& [to, text] : written_) {
      if (to == stream) texts.push_back(text);
    }
    return texts;
  }

  std::FILE* failing = nullptr;
  int failAt = 0;
  int failingWrites = 0;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  int entered_ = 0;
  std::vector<std::pair<std::FILE*, std::string>> written_;
};

TEST(OutputQueue, WhileTheReaderStallsTheLogIsKeptAndProgressGivesWay) {
  HeldWriter held;
  OutputQueue output(held.Writer());
  output.Stdout().Write("first\n");
  held.WaitUntilHeld();
  // Every write returns at once while the writer is held: no run waits for a reader.
  const std::string redraw(1024, '#');
  for (int k = 0; k < 200; ++k) {
    output.Stderr().Write(redraw, TextKind::Progress);
    output.Stdout().Write("line " + std::to_string(k) + "\n");
  }
  held.Open();
  EXPECT_TRUE(output.Drain());
  const auto lines = held.Written(stdout);
  ASSERT_EQ(lines.size(), 201u) << "no log line is lost";
  EXPECT_EQ(lines.front(), "first\n");
  for (int k = 0; k < 200; ++k)
    EXPECT_EQ(lines[static_cast<std::size_t>(k) + 1], "line " + std::to_string(k) + "\n");
  const auto redraws = held.Written(stderr);
  EXPECT_GT(redraws.size(), 0u);
  EXPECT_LE(redraws.size() * redraw.size(), OutputQueue::PROGRESS_BOUND)
      << "progress past its bound is dropped";
  EXPECT_EQ(output.LostLines(), 0u);
  EXPECT_EQ(output.Failure(stdout), "");
}

// Log text past the log's bound is lost, but counted for the command to say so.
TEST(OutputQueue, LogPastItsBoundIsCountedNotSilentlyLost) {
  HeldWriter held;
  OutputQueue output(held.Writer());
  output.Stdout().Write("first\n");
  held.WaitUntilHeld();
  const std::string mib(1024 * 1024, 'x');
  const std::size_t fits = OutputQueue::LOG_BOUND / mib.size();
  for (std::size_t k = 0; k < fits + 2; ++k) output.Stdout().Write(mib);
  EXPECT_EQ(output.LostLines(), 2u);
  held.Open();
  EXPECT_TRUE(output.Drain());
  EXPECT_EQ(held.Written(stdout).size(), fits + 1);
}

// A stream whose write failed (a reader gone, a full disk) takes no more; the others go on.
TEST(OutputQueue, AStreamThatFailedTakesNoMoreAndSaysWhy) {
  HeldWriter held;
  held.failing = stdout;
  held.failAt = 2;
  held.Open();
  OutputQueue output(held.Writer());
  output.Stdout().Write("one\n");
  output.Stdout().Write("two\n");
  output.Stderr().Write("progress\n");
  output.Stdout().Write("three\n");
  output.Stderr().Write("message\n");
  EXPECT_TRUE(output.Drain());
  EXPECT_THAT(held.Written(stdout), ElementsAre("one\n"));
  EXPECT_EQ(held.failingWrites, 2) << "nothing more was tried on the failed stream";
  EXPECT_THAT(held.Written(stderr), ElementsAre("progress\n", "message\n"));
  EXPECT_EQ(output.Failure(stdout), "Broken pipe");
  EXPECT_EQ(output.Failure(stderr), "");
}

}  // namespace
}  // namespace iapflash::cli
