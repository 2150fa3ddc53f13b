#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace iapflash::web {

// One viewer of the page's event stream: the bytes waiting for its connection. The station puts
// bytes in (never waiting for the viewer), the viewer's connection thread takes them out.
class Viewer {
 public:
  explicit Viewer(std::size_t queueBytes) : queueBytes_(queueBytes) {}

  enum class Taken { Data, Idle, Closed };
  // Waits up to `idle` for bytes, then moves all that wait into `out`. Closed once the viewer
  // fell behind by more than its queue holds (its events were dropped: its drawing would be
  // wrong, so its connection ends and its browser connects again) or the server stops.
  Taken Take(std::string& out, std::chrono::milliseconds idle);

  // Adds bytes unless the queue would overflow; then they and every byte waiting are dropped and
  // the viewer is closed. Bytes put into an empty queue always go, however many: the viewer has
  // taken everything so far. Never waits for the viewer.
  void Put(std::string_view bytes);
  void Close();

 private:
  friend class ViewerHub;
  const std::size_t queueBytes_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::string waiting_;
  bool closed_ = false;
};

// The viewers connected now, at most `maxViewers`. Thread-safe.
class ViewerHub {
 public:
  ViewerHub(std::size_t maxViewers, std::size_t queueBytes)
      : maxViewers_(maxViewers), queueBytes_(queueBytes) {}

  // A new viewer whose queue starts with `first` (whatever its size); null when `maxViewers`
  // are connected already, or after CloseAll.
  std::shared_ptr<Viewer> Join(std::string first);
  void Leave(const std::shared_ptr<Viewer>& viewer);
  // The bytes go to every viewer's queue.
  void Publish(std::string_view bytes);
  // Closes every viewer and refuses new ones: the server stops.
  void CloseAll();
  std::size_t Count() const;

 private:
  const std::size_t maxViewers_;
  const std::size_t queueBytes_;
  mutable std::mutex mutex_;
  bool closed_ = false;
  std::vector<std::shared_ptr<Viewer>> viewers_;
};

}  // namespace iapflash::web
