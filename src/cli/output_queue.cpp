#include "cli/output_queue.h"

#include <chrono>

#include "cli/terminal.h"

namespace iapflash::cli {

void DirectOut::Write(std::string_view text, TextKind) {
  WriteText(stream_, text);
}

OutputQueue::OutputQueue(StreamWriter writer) : state_(std::make_shared<State>(std::move(writer))) {
  writer_ = std::thread([state = state_] { Run(state); });
}

OutputQueue::~OutputQueue() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->changed.notify_all();
  // A writer held by a reader that never reads ends with the process.
  if (gaveUp_) {
    writer_.detach();
  } else {
    writer_.join();
  }
}

void OutputQueue::Run(const std::shared_ptr<State>& state) {
  std::unique_lock lock(state->mutex);
  for (;;) {
    state->changed.wait(lock, [&] { return state->stopping || !state->items.empty(); });
    if (state->items.empty()) return;  // stopping, and everything written
    Item item = std::move(state->items.front());
    state->items.pop_front();
    state->queuedBytes -= item.text.size();
    state->writing = true;
    const bool failedBefore = state->failures.count(item.stream) > 0;
    lock.unlock();
    std::string error;
    const bool wrote = failedBefore || state->writer(item.stream, item.text, error);
    lock.lock();
    if (!wrote) state->failures.emplace(item.stream, error.empty() ? "write failed" : error);
    state->writing = false;
    ++state->written;
    state->changed.notify_all();
  }
}

void OutputQueue::Write(std::FILE* stream, std::string_view text, TextKind kind) {
  if (text.empty()) return;
  {
    std::lock_guard lock(state_->mutex);
    const std::size_t bound = kind == TextKind::Progress ? PROGRESS_BOUND : LOG_BOUND;
    if (state_->queuedBytes + text.size() > bound) {
      if (kind == TextKind::Log) ++state_->lostLines;
      return;
    }
    state_->items.push_back({stream, std::string(text)});
    state_->queuedBytes += text.size();
  }
  state_->changed.notify_all();
}

void OutputQueue::Interrupt() {
  {
    std::lock_guard lock(state_->mutex);
    state_->interrupted = true;
  }
  state_->changed.notify_all();
}

bool OutputQueue::Drain() {
  std::unique_lock lock(state_->mutex);
  auto done = [&] { return state_->items.empty() && !state_->writing; };
  state_->changed.wait(lock, [&] { return done() || state_->interrupted; });
  while (!done()) {
    const uint64_t before = state_->written;
    const bool moved = state_->changed.wait_for(lock, std::chrono::milliseconds(STALL_MS), [&] {
      return done() || state_->written != before;
    });
    if (!moved) {
      gaveUp_ = true;
      return false;
    }
  }
  return true;
}

std::string OutputQueue::Failure(std::FILE* stream) const {
  std::lock_guard lock(state_->mutex);
  const auto found = state_->failures.find(stream);
  return found == state_->failures.end() ? std::string() : found->second;
}

std::size_t OutputQueue::LostLines() const {
  std::lock_guard lock(state_->mutex);
  return state_->lostLines;
}

}  // namespace iapflash::cli
