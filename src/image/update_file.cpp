#include "image/update_file.h"

#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "console/log.h"
#include "image/hex_image.h"

namespace iapflash {
namespace {

constexpr char UPDATE_TAG[] = "IAP_UPDATA_FILE";  // compared with its terminating zero
constexpr char READ_CAPTION[] = "    读下载文件 ";

void LogTooLarge(OperatorPanel& panel) {
  LogLine(panel, "    下载文件不能超过%d字节", static_cast<int>(MAX_IMAGE_SIZE));
}

// Steps from the payload in memory to the image, its length and checksum.
bool BuildImage(OperatorPanel& panel, bool hex, const uint8_t* payload, uint32_t payloadLength,
                uint8_t* image, uint32_t& length, uint32_t& checksum) {
  const uint32_t capacity = length;
  uint32_t imageLength = 0;
  if (hex) {
    LogLine(panel, "    HEX格式转换成BIN格式.");
    if (!ConvertHexImage(reinterpret_cast<const char*>(payload), payloadLength, image, capacity,
                         imageLength)) {
      LogLine(panel, "    无效的HEX文件.");
      return false;
    }
    if (imageLength > capacity) {
      LogTooLarge(panel);
      return false;
    }
  } else {
    // The capacity bounds the copy too, so a smaller image buffer is never overrun.
    if (payloadLength > MAX_IMAGE_SIZE || payloadLength > capacity) {
      LogTooLarge(panel);
      return false;
    }
    std::memcpy(image, payload, payloadLength);
    imageLength = payloadLength;
  }
  length = imageLength;
  checksum = ImageChecksum(image, imageLength);
  return true;
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

bool LoadUpdateFrom(OperatorPanel& panel, const std::string& path, ReadOnlyFile& file,
                    uint8_t* image, uint32_t& length, uint32_t& checksum) {
  checksum = 0;
  const uint64_t size = file.Size();
  if (size < MIN_UPDATE_FILE_SIZE) {
    LogLine(panel, "    无效下载文件L %s", path.c_str());
    return false;
  }
  // Far beyond any image; taking only the low 32 bits would read a wrong part of the file.
  if (size > std::numeric_limits<uint32_t>::max()) {
    LogTooLarge(panel);
    return false;
  }
  const auto fileSize = static_cast<uint32_t>(size);
  const std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[fileSize]());
  if (!buffer) {
    LogLine(panel, "    内存不足，无法读取下载文件(%u字节).", static_cast<unsigned>(fileSize));
    return false;
  }

  const IoResult header = file.Read(buffer.get(), UPDATE_HEADER_SIZE);
  if (!header.ok) {
    LogLastError(panel, READ_CAPTION, header.error);
    return false;
  }
  if (header.count < UPDATE_HEADER_SIZE) {
    LogLine(panel, "    无效下载文件L(%d).", static_cast<int>(header.count));
    return false;
  }
  if (!IsUpdateHeader(buffer.get())) {
    LogLine(panel, "    无效下载文件F.");
    return false;
  }

  // The payload overwrites the header; its length is what the read delivers.
  const IoResult payload = file.Read(buffer.get(), fileSize - UPDATE_HEADER_SIZE);
  if (!payload.ok) {
    LogLastError(panel, READ_CAPTION, payload.error);
    return false;
  }
  return BuildImage(panel, IsHexPath(path), buffer.get(), payload.count, image, length, checksum);
}

bool LoadUpdateFile(OperatorPanel& panel, uint8_t* image, uint32_t& length, uint32_t& checksum) {
  checksum = 0;
  const std::string path = panel.FilePath();
  // Refused rather than cut (or cut at a zero byte), so that no other file is opened instead.
  if (path.size() > MAX_UPDATE_PATH_LENGTH || path.find('\0') != std::string::npos) {
    LogLine(panel, "    无法打开下载文件%s", path.c_str());
    return false;
  }
  SystemError error = 0;
  const std::unique_ptr<ReadOnlyFile> file = OpenForReading(path, error);
  if (!file) {
    LogLine(panel, "    无法打开下载文件%s", path.c_str());
    return false;
  }
  return LoadUpdateFrom(panel, path, *file, image, length, checksum);
}

}  // namespace iapflash
