#include "recording_panel.h"

namespace iapflash::testing {

std::vector<std::string> RecordingPanel::Lines() const {
  const std::string text = Log();
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

}  // namespace iapflash::testing
