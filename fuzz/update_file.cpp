// The update file loader over arbitrary file bytes. The first input byte picks the file's name
// (bit 0: ".hex" or ".bin"; bit 1: a small image capacity); the rest is the file, read from
// memory with the loader's own reads.
#include "image/update_file.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "console/log.h"
#include "platform/operator_panel.h"

namespace {

constexpr uint8_t CANARY = 0xA5;
constexpr uint32_t GUARD = 256;
constexpr uint32_t SMALL_CAPACITY = 600;

void Require(bool condition) {
  if (!condition) std::abort();
}

class SilentPanel final : public iapflash::OperatorPanel {
 public:
  void AppendLog(std::string_view) override {}
  int SelectedDevice() override { return -1; }
  std::string FilePath() override { return {}; }
  void SetDownloadEnabled(bool) override {}
  void PostDeviceScan() override {}
  void ShowDevices(const std::vector<std::string>&, int) override {}
};

class MemoryFile final : public iapflash::ReadOnlyFile {
 public:
  MemoryFile(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t Size() override { return size_; }
  iapflash::IoResult Read(uint8_t* buffer, uint32_t size) override {
    const size_t count = size < size_ - at_ ? size : size_ - at_;
    std::memcpy(buffer, data_ + at_, count);
    at_ += count;
    return {true, static_cast<uint32_t>(count), 0};
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

void DiscardDiagnostics(const std::string&) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  iapflash::SetDiagnosticSink(&DiscardDiagnostics);
  const bool hex = data[0] & 1;
  const uint32_t capacity = data[0] & 2 ? SMALL_CAPACITY : iapflash::MAX_IMAGE_SIZE;
  MemoryFile file(data + 1, size - 1);
  SilentPanel panel;
  std::vector<uint8_t> image(capacity + GUARD, CANARY);
  uint32_t length = capacity;
  uint32_t checksum = 0xFFFFFFFF;
  const bool ok = iapflash::LoadUpdateFrom(panel, hex ? "update.hex" : "update.bin", file,
                                           image.data(), length, checksum);
  for (uint32_t i = capacity; i < capacity + GUARD; ++i) Require(image[i] == CANARY);
  if (ok) {
    Require(length <= capacity);
    Require(checksum == iapflash::ImageChecksum(image.data(), length));
  } else {
    Require(length == capacity);
    Require(checksum == 0);
  }
  return 0;
}
