#include "image/pack.h"

#include <algorithm>

#include "image/build_hex.h"
#include "image/hex_writer.h"
#include "image/update_file.h"

namespace iapflash {
namespace {

constexpr char UPDATE_FILE_TAG[] = "IAP_UPDATA_FILE";

bool IsText(std::string_view content) {
  return std::all_of(content.begin(), content.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 0x20 && u < 0x7F) || c == '\n' || c == '\r' || c == '\t';
  });
}

}  // namespace

std::vector<uint8_t> MakeUpdateFile(const std::vector<uint8_t>& image, bool hexPayload) {
  // Sized once and copied into: GCC 12 at -O3 takes insert() after the header for a write past
  // it (-Warray-bounds), which stops the release build.
  const std::string text =
      hexPayload ? StrictHexText(image.data(), static_cast<uint32_t>(image.size())) : "";
  std::vector<uint8_t> file(UPDATE_HEADER_SIZE + (hexPayload ? text.size() : image.size()), 0);
  std::copy(UPDATE_FILE_TAG, UPDATE_FILE_TAG + sizeof UPDATE_FILE_TAG, file.begin());
  if (hexPayload) {
    std::copy(text.begin(), text.end(), file.begin() + UPDATE_HEADER_SIZE);
  } else {
    std::copy(image.begin(), image.end(), file.begin() + UPDATE_HEADER_SIZE);
  }
  return file;
}

bool IsBuildHex(std::string_view name, std::string_view content) {
  if (IsHexPath(name)) return true;
  if (content.substr(0, 3) == "\xEF\xBB\xBF") content.remove_prefix(3);
  return !content.empty() && content[0] == ':' && IsText(content);
}

PackResult PackUpdate(std::string_view inName, std::string_view content,
                      std::optional<uint32_t> base, bool hexPayload, uint32_t capacity) {
  PackResult result;
  if (content.size() >= sizeof UPDATE_FILE_TAG &&
      IsUpdateHeader(reinterpret_cast<const uint8_t*>(content.data()))) {
    result.message = "this is an update file already";
    return result;
  }
  result.inputHex = IsBuildHex(inName, content);
  if (result.inputHex) {
    BuildHexResult hex = ReadBuildHex(content, base, capacity);
    if (!hex.ok) {
      result.message = std::move(hex.message);
      result.line = hex.line;
      result.column = hex.column;
      return result;
    }
    result.image = std::move(hex.image);
    result.base = hex.base;
  } else {
    if (base) {
      result.message = "--base applies to Intel HEX input only; a raw binary starts at offset 0";
      return result;
    }
    if (content.empty()) {
      result.message = "the file is empty";
      return result;
    }
    if (content.size() > capacity) {
      result.message = "the image is " + std::to_string(content.size()) + " bytes, more than the " +
                       std::to_string(capacity) + " bytes an update may hold";
      return result;
    }
    result.image.assign(content.begin(), content.end());
  }
  // The loader refuses a file shorter than the header and 8 bytes; HEX text is always longer.
  if (!hexPayload && UPDATE_HEADER_SIZE + result.image.size() < MIN_UPDATE_FILE_SIZE) {
    result.message = "an image of " + std::to_string(result.image.size()) +
                     " bytes makes a BIN update file too short for the loader (it needs " +
                     std::to_string(MIN_UPDATE_FILE_SIZE - UPDATE_HEADER_SIZE) +
                     " bytes at least); name the output .hex";
    return result;
  }
  result.file = MakeUpdateFile(result.image, hexPayload);
  result.ok = true;
  return result;
}

}  // namespace iapflash
