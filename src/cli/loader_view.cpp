#include "cli/loader_view.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "image/hex_image.h"
#include "image/memory_file.h"
#include "image/update_file.h"
#include "platform/operator_panel.h"

namespace iapflash::cli {
namespace {

// Stands in for the window: the path control holds path, the log pane collects the text.
class CapturePanel final : public OperatorPanel {
 public:
  explicit CapturePanel(std::string path) : path_(std::move(path)) {}
  void AppendLog(std::string_view text) override { log_ += text; }
  int SelectedDevice() override { return -1; }
  std::string FilePath() override { return path_; }
  void SetDownloadEnabled(bool) override {}
  void PostDeviceScan() override {}
  void ShowDevices(const std::vector<std::string>&, int) override {}

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
  const std::string path_;
  std::string log_;
};

LoaderView Finish(bool accepted, const std::string& path, const CapturePanel& panel,
                  const std::vector<uint8_t>& image, uint32_t length, uint32_t checksum) {
  LoaderView view;
  view.accepted = accepted;
  view.hex = IsHexPath(path);
  view.lines = panel.Lines();
  if (accepted) {
    view.image.assign(image.begin(), image.begin() + length);
    view.checksum = checksum;
  }
  return view;
}

}  // namespace

LoaderView LoadLikeTheLoader(const std::string& path) {
  CapturePanel panel(path);
  std::vector<uint8_t> image(MAX_IMAGE_SIZE, 0);
  uint32_t length = MAX_IMAGE_SIZE;
  uint32_t checksum = 0;
  const bool accepted = LoadUpdateFile(panel, image.data(), length, checksum);
  return Finish(accepted, path, panel, image, length, checksum);
}

LoaderView LoadBytesLikeTheLoader(const std::string& path, const std::vector<uint8_t>& file) {
  CapturePanel panel(path);
  MemoryFile memory(file);
  std::vector<uint8_t> image(MAX_IMAGE_SIZE, 0);
  uint32_t length = MAX_IMAGE_SIZE;
  uint32_t checksum = 0;
  const bool accepted = LoadUpdateFrom(panel, path, memory, image.data(), length, checksum);
  return Finish(accepted, path, panel, image, length, checksum);
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
