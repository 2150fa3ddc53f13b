#include "platform/cancel_switch.h"

#include <algorithm>
#include <utility>

namespace iapflash {
namespace {

// A cancelled run's waits end at this granularity.
constexpr uint32_t SLEEP_SLICE_MS = 50;

}  // namespace

class CancelSwitch::Port final : public SerialPort {
 public:
  Port(std::unique_ptr<SerialPort> inner, CancelSwitch& owner)
      : inner_(std::move(inner)), owner_(owner) {}
  ~Port() override {
    // Closed while the switch still reaches it: a cancel then ends the close's waits as well.
    inner_->Close();
    std::lock_guard lock(owner_.mutex_);
    owner_.open_.erase(inner_.get());
  }
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  bool SetQueueSizes(uint32_t input, uint32_t output) override {
    return Live() && inner_->SetQueueSizes(input, output);
  }
  bool GetTimeouts(SerialTimeouts& timeouts) override {
    return Live() && inner_->GetTimeouts(timeouts);
  }
  bool SetTimeouts(const SerialTimeouts& timeouts) override {
    return Live() && inner_->SetTimeouts(timeouts);
  }
  bool Purge() override { return Live() && inner_->Purge(); }
  bool GetLineSettings(LineSettings& settings) override {
    return Live() && inner_->GetLineSettings(settings);
  }
  bool SetLineSettings(const LineSettings& settings) override {
    return Live() && inner_->SetLineSettings(settings);
  }
  bool QueuedInput(uint32_t& count) override { return Live() && inner_->QueuedInput(count); }
  IoResult Read(uint8_t* buffer, uint32_t size) override {
    if (!Live()) return {false, 0, CancelledError()};
    return inner_->Read(buffer, size);
  }
  IoResult Write(const uint8_t* data, uint32_t size) override {
    if (!Live()) return {false, 0, CancelledError()};
    return inner_->Write(data, size);
  }
  void Cancel() override { inner_->Cancel(); }
  void Close() override { inner_->Close(); }

 private:
  bool Live() const { return !owner_.Cancelled(); }

  std::unique_ptr<SerialPort> inner_;
  CancelSwitch& owner_;
};

class CancelSwitch::Opener final : public SerialPorts, private OpeningPorts {
 public:
  Opener(SerialPorts& inner, CancelSwitch& owner) : inner_(inner), owner_(owner) {}
  std::unique_ptr<SerialPort> Open(const std::string& name, SystemError& error) override {
    return OpenShown(name, error, nullptr);
  }
  // A switch that opens through this one (a run's time limit inside the command's switch for
  // signals) sees the waiting port too, so either switch ends the opening's waits.
  std::unique_ptr<SerialPort> OpenWatched(const std::string& name, SystemError& error,
                                          OpeningPorts& opening) override {
    return OpenShown(name, error, &opening);
  }

 private:
  // Shows a waiting port to this switch and to the caller's watcher, when there is one.
  class Both final : public OpeningPorts {
   public:
    Both(OpeningPorts& own, OpeningPorts* caller) : own_(own), caller_(caller) {}
    void Opening(SerialPort& port) override {
      own_.Opening(port);
      if (caller_) caller_->Opening(port);
    }
    void Forget(SerialPort& port) override {
      if (caller_) caller_->Forget(port);
      own_.Forget(port);
    }

   private:
    OpeningPorts& own_;
    OpeningPorts* caller_;
  };

  std::unique_ptr<SerialPort> OpenShown(const std::string& name, SystemError& error,
                                        OpeningPorts* caller) {
    if (owner_.Cancelled()) {
      error = CancelledError();
      return nullptr;
    }
    Both both(*this, caller);
    std::unique_ptr<SerialPort> port = inner_.OpenWatched(name, error, both);
    if (!port) return nullptr;
    SerialPort* raw = port.get();
    // The caller gets the wrapper, which it shows to its own switch in the port's place.
    if (caller) caller->Forget(*raw);
    auto wrapped = std::make_unique<Port>(std::move(port), owner_);
    // A backend that does not wait while opening is known from here on.
    Opening(*raw);
    return wrapped;
  }

  void Opening(SerialPort& port) override {
    std::lock_guard lock(owner_.mutex_);
    owner_.open_.insert(&port);
    // A cancel that came before found nothing to cancel.
    if (owner_.Cancelled()) port.Cancel();
  }
  void Forget(SerialPort& port) override {
    std::lock_guard lock(owner_.mutex_);
    owner_.open_.erase(&port);
  }

  SerialPorts& inner_;
  CancelSwitch& owner_;
};

class CancelSwitch::SlicedClock final : public Clock {
 public:
  SlicedClock(Clock& inner, const CancelSwitch& owner) : inner_(inner), owner_(owner) {}
  void SleepMs(uint32_t ms) override {
    while (ms > 0 && !owner_.Cancelled()) {
      const uint32_t slice = std::min(ms, SLEEP_SLICE_MS);
      inner_.SleepMs(slice);
      ms -= slice;
    }
  }
  uint64_t NowMs() override { return inner_.NowMs(); }

 private:
  Clock& inner_;
  const CancelSwitch& owner_;
};

CancelSwitch::CancelSwitch(SerialPorts& ports, Clock& clock)
    : opener_(std::make_unique<Opener>(ports, *this)),
      clock_(std::make_unique<SlicedClock>(clock, *this)) {}

CancelSwitch::~CancelSwitch() = default;

SerialPorts& CancelSwitch::Ports() {
  return *opener_;
}

Clock& CancelSwitch::GetClock() {
  return *clock_;
}

void CancelSwitch::Cancel() {
  std::lock_guard lock(mutex_);
  cancelled_.store(true);
  for (SerialPort* port : open_) port->Cancel();
}

}  // namespace iapflash
