// ReadBuildHex over arbitrary text, with and without a base taken from the input: whatever it
// accepts must pack into update files (BIN and HEX) from which the loader reads back exactly
// that image; whatever it refuses must say where, within the text.
#include "image/build_hex.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "image/memory_file.h"
#include "image/pack.h"
#include "image/update_file.h"
#include "log/log.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

class QuietLog final : public iapflash::LogSink {
 public:
  void AppendLog(std::string_view) override {}
};

void RequireLoadsBack(const std::vector<uint8_t>& image, bool hex) {
  if (!hex && image.size() < iapflash::MIN_UPDATE_FILE_SIZE - iapflash::UPDATE_HEADER_SIZE) return;
  const std::vector<uint8_t> file = iapflash::MakeUpdateFile(image, hex);
  iapflash::MemoryFile memory(file);
  QuietLog log;
  const auto loaded = iapflash::LoadUpdateFrom(log, hex ? "f.hex" : "f.bin", memory);
  Require(loaded.has_value());
  Require(loaded->bytes == image);
  Require(loaded->checksum ==
          iapflash::ImageChecksum(image.data(), static_cast<uint32_t>(image.size())));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<uint32_t> base;
  if (size >= 4) {
    uint32_t value = 0;
    std::memcpy(&value, data, 4);
    base = value;
  }
  for (const std::optional<uint32_t>& b : {std::optional<uint32_t>(), base}) {
    const iapflash::BuildHexResult result =
        iapflash::ReadBuildHex(text, b, iapflash::MAX_IMAGE_SIZE);
    if (!result.ok) {
      Require(result.image.empty() && !result.message.empty());
      continue;
    }
    Require(!result.image.empty() && result.image.size() <= iapflash::MAX_IMAGE_SIZE);
    Require(!b || result.base == *b);
    RequireLoadsBack(result.image, false);
    RequireLoadsBack(result.image, true);
  }
  return 0;
}
