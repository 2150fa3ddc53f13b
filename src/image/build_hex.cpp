#include "image/build_hex.h"

#include <algorithm>
#include <cstdio>

#include "image/hex_image.h"

namespace iapflash {
namespace {

// Data at an absolute address, from one line of the text.
struct Chunk {
  uint64_t address;
  std::size_t from;  // into the data pool
  uint32_t length;
  uint32_t line;
};

struct Failure {
  std::string message;
  uint32_t line = 0;
  uint32_t column = 0;
};

// value in upper-case hexadecimal digits, at least width of them.
std::string Hex(uint64_t value, int width) {
  char text[24];
  std::snprintf(text, sizeof text, "%0*llX", width, static_cast<unsigned long long>(value));
  return text;
}

std::string Address(uint64_t value) {
  return "0x" + Hex(value, 8);
}

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  // Splits the text into chunks; false with failure_ set on the first fault.
  bool Read() {
    std::size_t start = 0;
    // A byte-order mark some editors put in front is no record.
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") start = 3;
    uint32_t line = 1;
    bool ended = false;
    while (start < text_.size()) {
      std::size_t end = text_.find('\n', start);
      if (end == std::string_view::npos) end = text_.size();
      std::string_view row = text_.substr(start, end - start);
      while (!row.empty() && (row.back() == '\r' || row.back() == ' ' || row.back() == '\t')) {
        row.remove_suffix(1);
      }
      if (!row.empty()) {
        if (ended) return Fail(line, 1, "text after the end-of-file record");
        if (!Record(row, line, ended)) return false;
      }
      start = end + 1;
      ++line;
    }
    if (!ended) {
      return Fail(line, 1, "no end-of-file record (:00000001FF): the file may be cut short");
    }
    return true;
  }

  const std::vector<Chunk>& Chunks() const { return chunks_; }
  const std::vector<uint8_t>& Pool() const { return pool_; }
  const Failure& Fault() const { return failure_; }

 private:
  bool Fail(uint32_t line, std::size_t column, std::string message) {
    failure_ = {std::move(message), line, static_cast<uint32_t>(column)};
    return false;
  }

  bool Record(std::string_view row, uint32_t line, bool& ended) {
    if (row[0] != ':') return Fail(line, 1, "a record begins with ':'");
    for (std::size_t i = 1; i < row.size(); ++i) {
      uint8_t ignored = 0;
      if (!DecodeHexByte(row[i], '0', ignored)) return Fail(line, i + 1, "not a hexadecimal digit");
    }
    const std::size_t digits = row.size() - 1;
    if (digits % 2 != 0) return Fail(line, row.size() + 1, "odd number of hexadecimal digits");
    if (digits < 10) return Fail(line, row.size() + 1, "record too short");
    uint8_t bytes[260] = {};
    const std::size_t count = digits / 2;
    if (count > sizeof bytes) return Fail(line, 2, "record too long");
    uint8_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
      DecodeHexByte(row[1 + 2 * i], row[2 + 2 * i], bytes[i]);
      sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    const uint32_t length = bytes[0];
    if (length + 5u != count) {
      return Fail(line, 2,
                  "the byte count says " + std::to_string(length) +
                      " data bytes, the record holds " + std::to_string(count - 5));
    }
    if (sum != 0) {
      const uint8_t written = bytes[count - 1];
      return Fail(line, row.size() - 1,
                  "checksum " + Hex(written, 2) + " does not match; the record needs " +
                      Hex(static_cast<uint8_t>(written - sum), 2));
    }
    const uint16_t address = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
    const uint8_t type = bytes[3];
    const uint8_t* data = bytes + 4;
    auto needs = [&](uint32_t wanted) {
      return length == wanted ||
             Fail(line, 2,
                  "a record of type " + std::to_string(type) + " holds " + std::to_string(wanted) +
                      " data bytes, not " + std::to_string(length));
    };
    switch (type) {
      case DATA:
        if (length > 0) Store(address, data, length, line);
        return true;
      case END_OF_FILE:
        ended = true;
        return true;
      case EXTENDED_SEGMENT_ADDRESS:
        if (!needs(2)) return false;
        segmented_ = true;
        upper_ = static_cast<uint64_t>(data[0] << 8 | data[1]) << 4;
        return true;
      case EXTENDED_LINEAR_ADDRESS:
        if (!needs(2)) return false;
        segmented_ = false;
        upper_ = static_cast<uint64_t>(data[0] << 8 | data[1]) << 16;
        return true;
      case START_SEGMENT_ADDRESS:
      case START_LINEAR_ADDRESS:
        return needs(4);  // where execution starts is no part of the image
      default:
        return Fail(line, 8, "unknown record type " + Hex(type, 2));
    }
  }

  // Under a segment base the 16-bit offset wraps within the segment; under a linear base it
  // simply counts on.
  void Store(uint16_t address, const uint8_t* data, uint32_t length, uint32_t line) {
    const std::size_t from = pool_.size();
    pool_.insert(pool_.end(), data, data + length);
    const uint32_t first = segmented_ ? std::min<uint32_t>(length, 0x10000u - address) : length;
    chunks_.push_back({upper_ + address, from, first, line});
    if (first < length) chunks_.push_back({upper_, from + first, length - first, line});
  }

  std::string_view text_;
  std::vector<Chunk> chunks_;
  std::vector<uint8_t> pool_;
  uint64_t upper_ = 0;
  bool segmented_ = false;
  Failure failure_;
};

}  // namespace

BuildHexResult ReadBuildHex(std::string_view text, std::optional<uint32_t> base,
                            uint32_t capacity) {
  BuildHexResult result;
  auto fail = [&](const Failure& failure) {
    result.image.clear();
    result.message = failure.message;
    result.line = failure.line;
    result.column = failure.column;
    return result;
  };
  Reader reader(text);
  if (!reader.Read()) return fail(reader.Fault());
  const std::vector<Chunk>& chunks = reader.Chunks();
  if (chunks.empty()) return fail({"the file holds no data", 0, 0});

  uint64_t lowest = chunks[0].address;
  for (const Chunk& c : chunks) lowest = std::min(lowest, c.address);
  for (const Chunk& c : chunks) {
    if (c.address + c.length > 0x100000000ull) {
      return fail({"data runs past address 0xFFFFFFFF", c.line, 4});
    }
  }
  result.base = base ? *base : static_cast<uint32_t>(lowest);
  const Chunk* highest = &chunks[0];
  for (const Chunk& c : chunks) {
    if (c.address < result.base) {
      return fail(
          {"data at address " + Address(c.address) + " lies below the base " + Address(result.base),
           c.line, 4});
    }
    if (c.address + c.length > highest->address + highest->length) highest = &c;
  }
  const uint64_t length = highest->address + highest->length - result.base;
  if (length > capacity) {
    return fail({"the image would be " + std::to_string(length) + " bytes (" +
                     Address(result.base) + " to " + Address(result.base + length - 1) +
                     "), more than the " + std::to_string(capacity) + " bytes an update may hold",
                 highest->line, 4});
  }

  // Records in text order; a byte set twice must be set alike.
  result.image.assign(static_cast<std::size_t>(length), 0xFF);
  std::vector<uint32_t> setBy(static_cast<std::size_t>(length), 0);
  const std::vector<uint8_t>& pool = reader.Pool();
  for (const Chunk& c : chunks) {
    const std::size_t at = static_cast<std::size_t>(c.address - result.base);
    for (uint32_t i = 0; i < c.length; ++i) {
      const uint8_t value = pool[c.from + i];
      if (setBy[at + i] != 0 && result.image[at + i] != value) {
        return fail({"overlaps line " + std::to_string(setBy[at + i]) +
                         " with different data at address " + Address(c.address + i),
                     c.line, 4});
      }
      result.image[at + i] = value;
      setBy[at + i] = c.line;
    }
  }
  result.ok = true;
  return result;
}

}  // namespace iapflash
