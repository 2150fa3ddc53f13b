#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/file_reader.h"

namespace iapflash {

// Bytes in memory read as an open file: lets the loader judge an update file before it is
// written. The bytes must outlive it.
class MemoryFile final : public ReadOnlyFile {
 public:
  explicit MemoryFile(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  uint64_t Size() override { return bytes_.size(); }
  IoResult Read(uint8_t* buffer, uint32_t size) override {
    IoResult result;
    result.count = static_cast<uint32_t>(std::min<std::size_t>(size, bytes_.size() - at_));
    if (result.count > 0) std::memcpy(buffer, bytes_.data() + at_, result.count);
    at_ += result.count;
    result.ok = true;
    return result;
  }

 private:
  const std::vector<uint8_t>& bytes_;
  std::size_t at_ = 0;
};

}  // namespace iapflash
