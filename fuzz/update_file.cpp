// The update file loader over arbitrary file bytes. The first input byte picks the file's name
// (bit 0: ".hex" or ".bin"); the rest is the file, read from memory with the loader's own reads.
#include "image/update_file.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "log/log.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

class SilentLog final : public iapflash::LogSink {
 public:
  void AppendLog(std::string_view) override {}
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
  MemoryFile file(data + 1, size - 1);
  SilentLog log;
  const auto image = iapflash::LoadUpdateFrom(log, hex ? "update.hex" : "update.bin", file);
  if (image) {
    Require(image->bytes.size() <= iapflash::MAX_IMAGE_SIZE);
    Require(image->checksum == iapflash::ImageChecksum(image->bytes.data(),
                                                       static_cast<uint32_t>(image->bytes.size())));
  }
  return 0;
}
