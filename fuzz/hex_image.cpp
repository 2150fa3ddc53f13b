// ConvertHexImage over arbitrary text, twice: into a full-size image and into a small one, each
// followed by guard bytes that must stay untouched. Both runs must agree on the result and on
// every byte the small image holds.
#include "image/hex_image.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "image/update_file.h"

namespace {

constexpr uint8_t CANARY = 0xA5;
constexpr uint32_t GUARD = 256;
constexpr uint32_t SMALL_CAPACITY = 64;

void Require(bool condition) {
  if (!condition) std::abort();
}

// One image of the given capacity with guard bytes, kept across inputs: the conversion may only
// write below min(text length, capacity), so only that part is checked and reset each time.
class GuardedImage {
 public:
  explicit GuardedImage(uint32_t capacity)
      : capacity_(capacity),
        buffer_(capacity + GUARD, CANARY),
        untouched_(capacity + GUARD, CANARY) {}

  bool Convert(const uint8_t* text, uint32_t size, uint32_t& length) {
    const bool ok = iapflash::ConvertHexImage(reinterpret_cast<const char*>(text), size,
                                              buffer_.data(), capacity_, length);
    // Nothing lands at or past the text length (data records must end within it), nor at or
    // past the capacity.
    const uint32_t written = size < capacity_ ? size : capacity_;
    Require(std::memcmp(buffer_.data() + written, untouched_.data(), capacity_ + GUARD - written) ==
            0);
    Require(length <= size);
    return ok;
  }
  const uint8_t* Bytes() const { return buffer_.data(); }
  void Reset(uint32_t size) {
    std::memset(buffer_.data(), CANARY, size < capacity_ ? size : capacity_);
  }

 private:
  uint32_t capacity_;
  std::vector<uint8_t> buffer_;
  std::vector<uint8_t> untouched_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static GuardedImage full(iapflash::MAX_IMAGE_SIZE);
  static GuardedImage small(SMALL_CAPACITY);
  const auto textLength = static_cast<uint32_t>(size);
  uint32_t fullLength = 0;
  uint32_t smallLength = 0;
  const bool fullOk = full.Convert(data, textLength, fullLength);
  const bool smallOk = small.Convert(data, textLength, smallLength);
  Require(fullOk == smallOk);
  Require(fullLength == smallLength);
  const uint32_t shared = textLength < SMALL_CAPACITY ? textLength : SMALL_CAPACITY;
  Require(std::memcmp(full.Bytes(), small.Bytes(), shared) == 0);
  full.Reset(textLength);
  small.Reset(textLength);
  return 0;
}
