#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/serial_port.h"

namespace iapflash::testing {

// Serial ports that pass every call through to other ports and note what was asked of them;
// a write or a read can be made to fail with a system error code.
class RecordingPorts final : public SerialPorts {
 public:
  struct Calls {
    std::vector<std::string> opened;
    uint32_t inputQueue = 0, outputQueue = 0;
    SerialTimeouts timeouts{};
    LineSettings line{};
    int purges = 0;
    std::vector<std::string> written;
    int closes = 0;
  };

  explicit RecordingPorts(SerialPorts& inner) : inner_(inner) {}

  SystemError failWrite = 0;
  SystemError failRead = 0;

  std::unique_ptr<SerialPort> Open(const std::string& name, SystemError& error) override {
    auto port = inner_.Open(name, error);
    if (!port) return nullptr;
    std::lock_guard lock(mutex_);
    calls_.opened.push_back(name);
    return std::make_unique<Port>(*this, std::move(port));
  }
  Calls Recorded() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  class Port final : public SerialPort {
   public:
    Port(RecordingPorts& owner, std::unique_ptr<SerialPort> inner)
        : owner_(owner), inner_(std::move(inner)) {}
    ~Port() override {
      owner_.Note([](Calls& c) { ++c.closes; });
    }
    bool SetQueueSizes(uint32_t input, uint32_t output) override {
      owner_.Note([&](Calls& c) {
        c.inputQueue = input;
        c.outputQueue = output;
      });
      return inner_->SetQueueSizes(input, output);
    }
    bool GetTimeouts(SerialTimeouts& timeouts) override { return inner_->GetTimeouts(timeouts); }
    bool SetTimeouts(const SerialTimeouts& timeouts) override {
      owner_.Note([&](Calls& c) { c.timeouts = timeouts; });
      return inner_->SetTimeouts(timeouts);
    }
    bool Purge() override {
      owner_.Note([](Calls& c) { ++c.purges; });
      return inner_->Purge();
    }
    bool GetLineSettings(LineSettings& settings) override {
      return inner_->GetLineSettings(settings);
    }
    bool SetLineSettings(const LineSettings& settings) override {
      owner_.Note([&](Calls& c) { c.line = settings; });
      return inner_->SetLineSettings(settings);
    }
    bool QueuedInput(uint32_t& count) override { return inner_->QueuedInput(count); }
    IoResult Read(uint8_t* buffer, uint32_t size) override {
      if (owner_.failRead) return IoResult{false, 0, owner_.failRead};
      return inner_->Read(buffer, size);
    }
    IoResult Write(const uint8_t* data, uint32_t size) override {
      owner_.Note(
          [&](Calls& c) { c.written.emplace_back(reinterpret_cast<const char*>(data), size); });
      if (owner_.failWrite) return IoResult{false, 0, owner_.failWrite};
      return inner_->Write(data, size);
    }

   private:
    RecordingPorts& owner_;
    std::unique_ptr<SerialPort> inner_;
  };

  template <typename Change>
  void Note(Change change) {
    std::lock_guard lock(mutex_);
    change(calls_);
  }

  SerialPorts& inner_;
  mutable std::mutex mutex_;
  Calls calls_;
};

}  // namespace iapflash::testing
