#include "web/station_screen.h"

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "web/listen_socket.h"
#include "web/page_files.h"
#include "web/screen_state.h"
#include "web/viewers.h"

namespace iapflash::web {

namespace {

// Every response: no caching, no type sniffing, and a page that runs only its own script.
void SecureHeaders(httplib::Response& res) {
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Content-Security-Policy",
                 "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
                 "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
}

std::string EventFrame(const std::string& line) {
  return "data: " + line + "\n\n";
}
std::string RecordFrame(const std::string& line) {
  return "event: record\ndata: " + line + "\n\n";
}

// The lines the station handed over and the publisher has not taken yet, at most: past it (the
// publisher starved of the processor for long) lines are left out rather than held by the
// station.
constexpr std::size_t HANDOFF_BYTES = 8 * 1024 * 1024;

}  // namespace

class StationScreen::Server {
 public:
  explicit Server(const ScreenOptions& options)
      : options_(options),
        state_(options.recordsKept),
        hub_(options.maxViewers, options.viewerQueueBytes) {
    // Every viewer holds a thread of its own while it is connected; the rest serve the page.
    std::size_t threads = options.maxViewers + 8;
    http_.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    http_.set_socket_options(
        [](socket_t sock) { PrepareListeningSocket(static_cast<std::uintptr_t>(sock)); });
    // Events are small and each should go at once, not wait for the last one's acknowledgement.
    http_.set_tcp_nodelay(true);
    http_.set_keep_alive_timeout(2);
    http_.set_write_timeout(std::chrono::seconds(2));
    http_.set_payload_max_length(4096);
    http_.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
      SecureHeaders(res);
      if (req.method == "GET" || req.method == "HEAD")
        return httplib::Server::HandlerResponse::Unhandled;
      res.status = 405;
      res.set_header("Allow", "GET, HEAD");
      res.set_header("Connection", "close");
      res.set_content("The station's page is read-only.\n", "text/plain; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    });
    http_.Get("/events", [this](const httplib::Request&, httplib::Response& res) { Events(res); });
    http_.Get("/records", [this](const httplib::Request&, httplib::Response& res) {
      std::string body;
      {
        std::lock_guard lock(mutex_);
        TakeHandedOver();
        body = state_.RecordsArray();
      }
      res.set_content(body, "application/json; charset=utf-8");
    });
    http_.Get(R"(/[a-z.]*)", [](const httplib::Request& req, httplib::Response& res) {
      const PageFile* file = FindPageFile(req.path);
      if (!file) {
        res.status = 404;
        res.set_content("Not found.\n", "text/plain; charset=utf-8");
        return;
      }
      res.set_content(file->body.data(), file->body.size(), std::string(file->contentType).c_str());
    });
  }

  ~Server() {
    if (publisher_.joinable()) {
      {
        std::lock_guard lock(handoffMutex_);
        stopping_ = true;
      }
      handedOver_.notify_one();
      publisher_.join();
    }
    hub_.CloseAll();
    if (!listener_.joinable()) return;
    // A stop before the listening loop runs would be lost: wait until it runs (or has ended).
    while (!listenEnded_) {
      if (http_.is_running()) {
        http_.stop();
        break;
      }
      std::this_thread::yield();
    }
    listener_.join();
  }

  bool Bind(std::string& error) {
    const auto& address = options_.address;
    int port = address.port == 0
                   ? http_.bind_to_any_port(address.host)
                   : (http_.bind_to_port(address.host, address.port) ? address.port : -1);
    if (port <= 0) {
      error = "the station's page cannot be served at " + PageUrl(address) +
              " (the address is not this machine's, or the port is in use or not allowed)";
      return false;
    }
    port_ = static_cast<uint16_t>(port);
    publisher_ = std::thread([this] { PublishHandedOver(); });
    listener_ = std::thread([this] {
      http_.listen_after_bind();
      listenEnded_ = true;
    });
    return true;
  }

  // The station's side: the line is handed over, never waiting for the viewers or the page's
  // state; the publisher thread does the rest.
  void Publish(std::string_view jsonLine, bool record) {
    bool wake = false;
    {
      std::lock_guard lock(handoffMutex_);
      if (handoffBytes_ + jsonLine.size() > HANDOFF_BYTES) return;
      wake = handoff_.empty();
      handoff_.push_back(HandedOver{std::string(jsonLine), record});
      handoffBytes_ += jsonLine.size();
    }
    if (wake) handedOver_.notify_one();
  }

  uint16_t Port() const { return port_; }
  std::size_t Viewers() const { return hub_.Count(); }

 private:
  struct HandedOver {
    std::string line;
    bool record;
  };

  // Under mutex_: takes every line handed over into the state and gives them to the viewers,
  // in one piece.
  void TakeHandedOver() {
    std::vector<HandedOver> lines;
    {
      std::lock_guard lock(handoffMutex_);
      lines.swap(handoff_);
      handoffBytes_ = 0;
    }
    std::string frames;
    for (const HandedOver& item : lines) {
      std::string line = PageLine(item.line);
      if (line.empty()) continue;
      if (item.record) {
        state_.AddRecord(line);
        frames += RecordFrame(line);
      } else {
        state_.AddEvent(line);
        frames += EventFrame(line);
      }
    }
    if (!frames.empty()) hub_.Publish(frames);
  }

  // The publisher thread, until the server stops. It hands the viewers what came at most every
  // `publishEvery`, in one piece: each viewer's thread wakes and writes once for many events.
  void PublishHandedOver() {
    for (;;) {
      {
        std::unique_lock lock(handoffMutex_);
        handedOver_.wait(lock, [this] { return stopping_ || !handoff_.empty(); });
        if (stopping_) return;
      }
      {
        std::lock_guard lock(mutex_);
        TakeHandedOver();
      }
      std::unique_lock lock(handoffMutex_);
      if (handedOver_.wait_for(lock, options_.publishEvery, [this] { return stopping_; })) return;
    }
  }

  void Events(httplib::Response& res) {
    std::shared_ptr<Viewer> viewer;
    {
      // Under the lock that publishing takes, after what was handed over so far went to the
      // viewers: the viewer's first bytes and the events after them leave nothing out and
      // repeat nothing.
      std::lock_guard lock(mutex_);
      TakeHandedOver();
      std::string first = "retry: 1000\n\n";
      for (const auto& line : state_.SnapshotEvents()) first += EventFrame(line);
      for (const auto& line : state_.LastRecords()) first += RecordFrame(line);
      viewer = hub_.Join(std::move(first));
    }
    if (!viewer) {
      res.status = 503;
      res.set_header("Retry-After", "10");
      res.set_content("The station's page has " + std::to_string(options_.maxViewers) +
                          " viewers already; try again later.\n",
                      "text/plain; charset=utf-8");
      return;
    }
    auto heartbeat = options_.heartbeat;
    // Exactly this type: the server compresses any other text, and a compressor holds events
    // back until its buffer fills.
    res.set_chunked_content_provider(
        "text/event-stream",
        [viewer, heartbeat, bytes = std::string()](size_t, httplib::DataSink& sink) mutable {
          switch (viewer->Take(bytes, heartbeat)) {
            case Viewer::Taken::Data:
              return sink.write(bytes.data(), bytes.size());
            case Viewer::Taken::Idle:
              return sink.write(":\n\n", 3);
            case Viewer::Taken::Closed:
              break;
          }
          return false;
        },
        [this, viewer](bool) { hub_.Leave(viewer); });
  }

  ScreenOptions options_;
  std::mutex mutex_;  // the state, and the order of what viewers get; taken before handoffMutex_
  ScreenState state_;
  ViewerHub hub_;
  std::mutex handoffMutex_;
  std::condition_variable handedOver_;
  std::vector<HandedOver> handoff_;
  std::size_t handoffBytes_ = 0;
  bool stopping_ = false;
  std::thread publisher_;
  httplib::Server http_;
  uint16_t port_ = 0;
  std::atomic<bool> listenEnded_{false};
  std::thread listener_;
};

std::unique_ptr<StationScreen> StationScreen::Start(const ScreenOptions& options,
                                                    std::string& error) {
  auto server = std::make_unique<Server>(options);
  if (!server->Bind(error)) return nullptr;
  return std::unique_ptr<StationScreen>(new StationScreen(std::move(server)));
}

StationScreen::StationScreen(std::unique_ptr<Server> server) : server_(std::move(server)) {}
StationScreen::~StationScreen() = default;

void StationScreen::PublishEvent(std::string_view jsonLine) {
  server_->Publish(jsonLine, false);
}
void StationScreen::PublishRecord(std::string_view jsonLine) {
  server_->Publish(jsonLine, true);
}
uint16_t StationScreen::Port() const {
  return server_->Port();
}
std::size_t StationScreen::Viewers() const {
  return server_->Viewers();
}

}  // namespace iapflash::web
