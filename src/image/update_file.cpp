#include "image/update_file.h"

#include <array>
#include <cstring>
#include <memory>
#include <new>

#include "image/hex_image.h"

namespace iapflash {
namespace {

constexpr char UPDATE_TAG[] = "IAP_UPDATA_FILE";  // compared with its terminating zero
constexpr char READ_CAPTION[] = "    读下载文件 ";

void LogTooLarge(LogSink& log) {
  LogLine(log, "    下载文件不能超过%d字节", static_cast<int>(MAX_IMAGE_SIZE));
}

// Steps from the payload in memory to the image and its checksum.
std::optional<UpdateImage> BuildImage(LogSink& log, bool hex, const uint8_t* payload,
                                      uint32_t payloadLength) {
  UpdateImage image;
  if (hex) {
    LogLine(log, "    HEX格式转换成BIN格式.");
    image.bytes.assign(MAX_IMAGE_SIZE, 0);
    uint32_t imageLength = 0;
    if (!ConvertHexImage(reinterpret_cast<const char*>(payload), payloadLength, image.bytes.data(),
                         MAX_IMAGE_SIZE, imageLength)) {
      LogLine(log, "    无效的HEX文件.");
      return std::nullopt;
    }
    if (imageLength > MAX_IMAGE_SIZE) {
      LogTooLarge(log);
      return std::nullopt;
    }
    image.bytes.resize(imageLength);
  } else {
    if (payloadLength > MAX_IMAGE_SIZE) {
      LogTooLarge(log);
      return std::nullopt;
    }
    image.bytes.assign(payload, payload + payloadLength);
  }
  image.checksum = ImageChecksum(image.bytes.data(), static_cast<uint32_t>(image.bytes.size()));
  return image;
}

}  // namespace

bool IsHexPath(std::string_view path) {
  constexpr std::string_view HEX = ".HEX";
  for (std::size_t start = 0; start + HEX.size() <= path.size(); ++start) {
    std::size_t i = 0;
    while (i < HEX.size()) {
      char c = path[start + i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      if (c != HEX[i]) break;
      ++i;
    }
    if (i == HEX.size()) return true;
  }
  return false;
}

bool IsUpdateHeader(const uint8_t* header) {
  return std::memcmp(header, UPDATE_TAG, sizeof UPDATE_TAG) == 0;
}

uint32_t ImageChecksum(const uint8_t* image, uint32_t length) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < length; ++i) sum += image[i];
  return sum;
}

std::optional<UpdateImage> LoadUpdateFrom(LogSink& log, const std::string& path,
                                          ReadOnlyFile& file) {
  const uint64_t size = file.Size();
  if (size < MIN_UPDATE_FILE_SIZE) {
    LogLine(log, "    无效下载文件L %s", path.c_str());
    return std::nullopt;
  }

  std::array<uint8_t, UPDATE_HEADER_SIZE> header{};
  const IoResult headerRead = file.Read(header.data(), UPDATE_HEADER_SIZE);
  if (!headerRead.ok) {
    LogLastError(log, READ_CAPTION, headerRead.error);
    return std::nullopt;
  }
  if (headerRead.count < UPDATE_HEADER_SIZE) {
    LogLine(log, "    无效下载文件L(%d).", static_cast<int>(headerRead.count));
    return std::nullopt;
  }
  if (!IsUpdateHeader(header.data())) {
    LogLine(log, "    无效下载文件F.");
    return std::nullopt;
  }

  // Refused from its size, before it is read: memory follows the image, not the file.
  const bool hex = IsHexPath(path);
  const uint64_t payloadSize = size - UPDATE_HEADER_SIZE;
  if (payloadSize > (hex ? MAX_HEX_TEXT_SIZE : MAX_IMAGE_SIZE)) {
    LogTooLarge(log);
    return std::nullopt;
  }
  const auto bufferSize = static_cast<uint32_t>(payloadSize);
  const std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[bufferSize]());
  if (!buffer) {
    LogLine(log, "    内存不足，无法读取下载文件(%u字节).", static_cast<unsigned>(bufferSize));
    return std::nullopt;
  }
  // The payload's length is what the read delivers.
  const IoResult payload = file.Read(buffer.get(), bufferSize);
  if (!payload.ok) {
    LogLastError(log, READ_CAPTION, payload.error);
    return std::nullopt;
  }
  return BuildImage(log, hex, buffer.get(), payload.count);
}

std::optional<UpdateImage> LoadUpdateFile(LogSink& log, const std::string& path) {
  // Refused rather than cut (or cut at a zero byte), so that no other file is opened instead.
  if (!PathWithinLimit(path) || path.find('\0') != std::string::npos) {
    LogLine(log, "    无法打开下载文件%s", path.c_str());
    return std::nullopt;
  }
  SystemError error = 0;
  const std::unique_ptr<ReadOnlyFile> file = OpenForReading(path, error);
  if (!file) {
    LogLine(log, "    无法打开下载文件%s", path.c_str());
    return std::nullopt;
  }
  return LoadUpdateFrom(log, path, *file);
}

}  // namespace iapflash
