#include "web/viewers.h"

#include <algorithm>

namespace iapflash::web {

Viewer::Taken Viewer::Take(std::string& out, std::chrono::milliseconds idle) {
  std::unique_lock lock(mutex_);
  ready_.wait_for(lock, idle, [this] { return closed_ || !waiting_.empty(); });
  if (closed_) return Taken::Closed;
  if (waiting_.empty()) return Taken::Idle;
  out.clear();
  out.swap(waiting_);
  return Taken::Data;
}

void Viewer::Put(std::string_view bytes) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    // A viewer with nothing waiting has kept up: a burst published in one piece goes whole.
    if (!waiting_.empty() && waiting_.size() + bytes.size() > queueBytes_) {
      closed_ = true;
      waiting_.clear();
      waiting_.shrink_to_fit();
    } else {
      waiting_.append(bytes);
    }
  }
  ready_.notify_one();
}

void Viewer::Close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  ready_.notify_one();
}

std::shared_ptr<Viewer> ViewerHub::Join(std::string first) {
  std::lock_guard lock(mutex_);
  if (closed_ || viewers_.size() >= maxViewers_) return nullptr;
  auto viewer = std::make_shared<Viewer>(queueBytes_);
  viewer->waiting_ = std::move(first);
  viewers_.push_back(viewer);
  return viewer;
}

void ViewerHub::Leave(const std::shared_ptr<Viewer>& viewer) {
  std::lock_guard lock(mutex_);
  viewers_.erase(std::remove(viewers_.begin(), viewers_.end(), viewer), viewers_.end());
}

void ViewerHub::Publish(std::string_view bytes) {
  std::lock_guard lock(mutex_);
  for (auto& viewer : viewers_) viewer->Put(bytes);
}

void ViewerHub::CloseAll() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  for (auto& viewer : viewers_) viewer->Close();
}

std::size_t ViewerHub::Count() const {
  std::lock_guard lock(mutex_);
  return viewers_.size();
}

}  // namespace iapflash::web
