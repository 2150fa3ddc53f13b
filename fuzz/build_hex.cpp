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
#include "platform/operator_panel.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

class QuietPanel final : public iapflash::OperatorPanel {
 public:
  void AppendLog(std::string_view) override {}
  int SelectedDevice() override { return -1; }
  std::string FilePath() override { return ""; }
  void SetDownloadEnabled(bool) override {}
  void PostDeviceScan() override {}
  void ShowDevices(const std::vector<std::string>&, int) override {}
};

void RequireLoadsBack(const std::vector<uint8_t>& image, bool hex) {
  if (!hex && image.size() < iapflash::MIN_UPDATE_FILE_SIZE - iapflash::UPDATE_HEADER_SIZE) return;
  const std::vector<uint8_t> file = iapflash::MakeUpdateFile(image, hex);
  iapflash::MemoryFile memory(file);
  QuietPanel panel;
  static std::vector<uint8_t> loaded(iapflash::MAX_IMAGE_SIZE);
  uint32_t length = iapflash::MAX_IMAGE_SIZE;
  uint32_t checksum = 0;
  Require(iapflash::LoadUpdateFrom(panel, hex ? "f.hex" : "f.bin", memory, loaded.data(), length,
                                   checksum));
  Require(length == image.size());
  Require(std::memcmp(loaded.data(), image.data(), length) == 0);
  Require(checksum == iapflash::ImageChecksum(image.data(), length));
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
