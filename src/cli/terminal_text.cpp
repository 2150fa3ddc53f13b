#include "cli/terminal_text.h"

#include <algorithm>

namespace iapflash::cli {

int DisplayWidth(std::string_view text) {
  int width = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      ++width;
    } else if (byte >= 0xE0) {
      width += 2;
    } else if (byte >= 0xC0) {
      ++width;
    }  // continuation bytes take no column of their own
  }
  return width;
}

std::string CutToWidth(std::string_view text, int width) {
  int used = 0;
  std::size_t end = 0;
  while (end < text.size()) {
    std::size_t next = end + 1;
    while (next < text.size() && (static_cast<unsigned char>(text[next]) & 0xC0) == 0x80) ++next;
    const int columns = DisplayWidth(text.substr(end, next - end));
    if (used + columns > width) break;
    used += columns;
    end = next;
  }
  return std::string(text.substr(0, end));
}

std::string WithControlsEscaped(std::string_view text, bool lineEnds) {
  constexpr char HEX[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  auto escape = [&](unsigned char byte) {
    out += "\\x";
    out += HEX[byte >> 4];
    out += HEX[byte & 0x0F];
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const bool lineEnd =
        lineEnds && (byte == '\n' || (byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n'));
    if ((byte < 0x20 && byte != '\t' && !lineEnd) || byte == 0x7F) {
      escape(byte);
    } else if (byte == 0xC2 && i + 1 < text.size() &&
               (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80) {
      // U+0080 to U+009F: the C1 controls, CSI among them.
      escape(byte);
      escape(static_cast<unsigned char>(text[++i]));
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string WithUnixLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

std::string Padded(std::string_view text, int width, bool right) {
  const auto pad = static_cast<std::size_t>(std::max(0, width - DisplayWidth(text)));
  std::string out;
  if (right) out.append(pad, ' ');
  out.append(text);
  if (!right) out.append(pad, ' ');
  return out;
}

}  // namespace iapflash::cli
