#include "cli/loader_view.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "image/hex_image.h"
#include "image/memory_file.h"
#include "image/update_file.h"
#include "log/log.h"

namespace iapflash::cli {
namespace {

// Stands in for the log pane: collects the loader's text.
class CaptureLog final : public LogSink {
 public:
  void AppendLog(std::string_view text) override { log_ += text; }

  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < log_.size()) {
      std::size_t end = log_.find('\n', start);
      if (end == std::string::npos) end = log_.size();
      std::string line = log_.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(std::move(line));
      start = end + 1;
    }
    return lines;
  }

 private:
  std::string log_;
};

LoaderView Finish(const std::optional<UpdateImage>& loaded, const std::string& path,
                  const CaptureLog& log) {
  LoaderView view;
  view.accepted = loaded.has_value();
  view.hex = IsHexPath(path);
  view.lines = log.Lines();
  if (loaded) {
    view.image = loaded->bytes;
    view.checksum = loaded->checksum;
  }
  return view;
}

}  // namespace

LoaderView LoadLikeTheLoader(const std::string& path) {
  CaptureLog log;
  const std::optional<UpdateImage> loaded = LoadUpdateFile(log, path);
  return Finish(loaded, path, log);
}

LoaderView LoadBytesLikeTheLoader(const std::string& path, const std::vector<uint8_t>& file) {
  CaptureLog log;
  MemoryFile memory(file);
  const std::optional<UpdateImage> loaded = LoadUpdateFrom(log, path, memory);
  return Finish(loaded, path, log);
}

std::optional<HexTextStop> StrictHexStop(const std::vector<uint8_t>& file) {
  if (file.size() < MIN_UPDATE_FILE_SIZE || !IsUpdateHeader(file.data())) return std::nullopt;
  const char* text = reinterpret_cast<const char*>(file.data()) + UPDATE_HEADER_SIZE;
  const auto textLength = static_cast<uint32_t>(file.size() - UPDATE_HEADER_SIZE);
  std::vector<uint8_t> image(MAX_IMAGE_SIZE);
  uint32_t length = 0;
  HexStop stop;
  if (ConvertHexImage(text, textLength, image.data(), MAX_IMAGE_SIZE, length, &stop)) {
    return std::nullopt;
  }
  HexTextStop place;
  place.line = 1 + static_cast<uint32_t>(std::count(text, text + stop.position, '\n'));
  const char* lineStart = text + stop.position;
  while (lineStart > text && lineStart[-1] != '\n') --lineStart;
  place.column = static_cast<uint32_t>(text + stop.position - lineStart) + 1;
  place.fileOffset = UPDATE_HEADER_SIZE + stop.position;
  place.reason = stop.reason;
  return place;
}

}  // namespace iapflash::cli
