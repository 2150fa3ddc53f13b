#include "image/hex_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <numeric>
#include <ostream>
#include <string>
#include <vector>

#include "hex_text.h"

namespace iapflash {
namespace {

using testing::HEX_END;
using testing::HexData;
using testing::HexRecord;

std::vector<uint8_t> Series(std::size_t count, uint8_t first) {
  std::vector<uint8_t> bytes(count);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string WithLfOnly(std::string text) {
  for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
  return text;
}

constexpr uint8_t CANARY = 0x5A;
constexpr uint32_t GUARD = 64;

struct Conversion {
  bool ok;
  uint32_t length;
  std::vector<uint8_t> image;  // capacity bytes
  bool guardIntact;
};

// Runs the conversion into a canary-filled buffer with guard bytes past the capacity.
Conversion Convert(const std::string& text, uint32_t capacity = 1024) {
  std::vector<uint8_t> buffer(capacity + GUARD, CANARY);
  Conversion result{};
  result.length = 0xDEADBEEF;
  result.ok = ConvertHexImage(text.data(), static_cast<uint32_t>(text.size()), buffer.data(),
                              capacity, result.length);
  result.guardIntact =
      std::all_of(buffer.begin() + capacity, buffer.end(), [](uint8_t b) { return b == CANARY; });
  buffer.resize(capacity);
  result.image = std::move(buffer);
  return result;
}

struct HexCase {
  const char* name;
  std::string text;
  bool ok;
  uint32_t length = 0;
  std::vector<uint8_t> imageStart = {};  // expected image bytes from offset 0
};

std::vector<HexCase> Cases() {
  const std::string sixteen = HexData(0x0000, Series(16, 0x10));
  const std::string offByOne = [&] {
    std::string text = sixteen;
    text[text.size() - 3] = text[text.size() - 3] == '0' ? '1' : '0';  // checksum low digit
    return text;
  }();
  std::vector<uint8_t> gapImage = Series(16, 0);
  gapImage.insert(gapImage.end(), 16, 0xFF);
  const std::vector<uint8_t> high = Series(16, 0x80);
  gapImage.insert(gapImage.end(), high.begin(), high.end());
  std::vector<uint8_t> segmentImage(36, 0xFF);
  segmentImage.push_back(0xAB);
  std::vector<uint8_t> overwritten = {1, 9, 9, 4};
  std::vector<uint8_t> all255 = Series(255, 1);

  return {
      {"EndRecordAlone", HEX_END, true, 0},
      {"EndRecordWithoutLineEnd", ":00000001FF", false},
      {"CrLfLineEnds", sixteen + HEX_END, true, 16, Series(16, 0x10)},
      {"LfOnlyLineEnds", WithLfOnly(sixteen + HEX_END), false},
      {"BlankLineBetweenRecords", sixteen + "\r\n" + HEX_END, false},
      {"LeadingBlank", " " + sixteen + HEX_END, false},
      {"ByteOrderMark", "\xEF\xBB\xBF" + sixteen + HEX_END, false},
      {"LowerCaseDigits",
       Lower(HexData(0x0000, {0xAB, 0xCD, 0xEF}) + HEX_END),
       true,
       3,
       {0xAB, 0xCD, 0xEF}},
      {"NoEndRecord", sixteen, false},
      {"FullRecordOf255Bytes", HexData(0x0000, all255) + HEX_END, true, 255, all255},
      {"ChecksumOffByOne", offByOne + HEX_END, false},
      {"NonHexDigitInData", ":0100000G00F0\r\n" + HEX_END, false},
      {"RecordRunsPastText", ":10000000", false},
      {"GapBetweenRecordsIsFilled",
       HexData(0x0000, Series(16, 0)) + HexData(0x0020, high) + HEX_END, true, 48, gapImage},
      {"SegmentBaseMovesData", HexRecord(2, 0, {0x00, 0x02}) + HexData(0x0004, {0xAB}) + HEX_END,
       true, 37, segmentImage},
      {"LinearRecordKeepsSegmentBase",
       HexRecord(2, 0, {0x00, 0x02}) + HexRecord(4, 0, {0x00, 0x00}) + HexData(0x0004, {0xAB}) +
           HEX_END,
       true, 37, segmentImage},
      {"LinearBaseMovesDataBeyondText",
       HexRecord(4, 0, {0x08, 0x00}) + HexData(0x0000, {1}) + HEX_END, false},
      // 16 bytes at 0x0100 end at 272, beyond the 100 characters of the text.
      {"DataEndBeyondTextLength", HexData(0x0100, Series(16, 0)) + HEX_END + std::string(42, 'x'),
       false},
      {"StartRecordsSkipped",
       HexRecord(3, 0, {1, 2, 3, 4}) + HexRecord(5, 0, {5, 6, 7, 8}) + HexData(0, {7}) + HEX_END,
       true,
       1,
       {7}},
      {"TypeSixFails", HexRecord(6, 0, {}) + HEX_END, false},
      {"BaseRecordWithFourBytesMissesNextColon", HexRecord(2, 0, {0, 0, 0, 0}) + HEX_END, false},
      {"StartRecordWithTwoBytesMissesNextColon", HexRecord(5, 0, {0, 0}) + HEX_END, false},
      {"EmptyDataRecordRaisesLength", HexRecord(0, 0x0040, {}) + HEX_END + std::string(64, ' '),
       true, 64, std::vector<uint8_t>(64, 0xFF)},
      {"LaterRecordOverwrites", HexData(0, {1, 2, 3, 4}) + HexData(1, {9, 9}) + HEX_END, true, 4,
       overwritten},
      {"TextAfterEndRecordIgnored", HexData(0, {5}) + HEX_END + ":zz not a record", true, 1, {5}},
  };
}

void PrintTo(const HexCase& c, std::ostream* os) {
  *os << c.name << ": " << c.text.substr(0, 80);
}

class HexConversion : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexConversion, GivesTheExpectedImage) {
  const HexCase& c = GetParam();
  const Conversion got = Convert(c.text);
  EXPECT_EQ(got.ok, c.ok);
  EXPECT_TRUE(got.guardIntact);
  if (!c.ok) return;
  EXPECT_EQ(got.length, c.length);
  ASSERT_LE(c.imageStart.size(), got.image.size());
  EXPECT_EQ(std::vector<uint8_t>(got.image.begin(), got.image.begin() + c.imageStart.size()),
            c.imageStart);
}

INSTANTIATE_TEST_SUITE_P(Rules, HexConversion, ::testing::ValuesIn(Cases()),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(HexConversionBounds, FillStopsAtTextLengthAndCapacity) {
  const std::string text = HexData(0, {1, 2}) + HEX_END;
  ASSERT_EQ(text.size(), 30u);
  const Conversion small = Convert(text, 16);
  EXPECT_TRUE(small.ok);
  EXPECT_TRUE(small.guardIntact) << "fill must stop at the capacity";

  const Conversion large = Convert(text, 64);
  EXPECT_TRUE(large.ok);
  EXPECT_EQ(large.image[29], 0xFF);
  EXPECT_EQ(large.image[30], CANARY) << "fill must stop at the text length";
}

TEST(HexConversionBounds, DataPastCapacityIsNotStoredButCounted) {
  // The record straddles the capacity of 16: bytes 12..15 stored, 16..19 dropped.
  const std::string text = HexData(12, {1, 2, 3, 4, 5, 6, 7, 8}) + HEX_END;
  const Conversion got = Convert(text, 16);
  EXPECT_TRUE(got.ok);
  EXPECT_EQ(got.length, 20u);
  EXPECT_TRUE(got.guardIntact);
  EXPECT_EQ(got.image[12], 1);
  EXPECT_EQ(got.image[15], 4);
}

TEST(HexConversionBounds, TextLongerThanCapacityWithDataBelowIt) {
  constexpr uint32_t capacity = 4096;
  std::string text;
  for (uint32_t address = 0; address < capacity; address += 32) {
    text += HexData(static_cast<uint16_t>(address), std::vector<uint8_t>(32, 0x42));
  }
  text += HEX_END;
  ASSERT_GT(text.size(), capacity);
  const Conversion got = Convert(text, capacity);
  EXPECT_TRUE(got.ok);
  EXPECT_EQ(got.length, capacity);
  EXPECT_TRUE(got.guardIntact);
  EXPECT_TRUE(std::all_of(got.image.begin(), got.image.end(), [](uint8_t b) { return b == 0x42; }));
}

TEST(DecodeHexByte, AcceptsBothCasesAndRejectsOtherCharacters) {
  uint8_t value = 0;
  EXPECT_TRUE(DecodeHexByte('a', 'F', value));
  EXPECT_EQ(value, 0xAF);
  EXPECT_TRUE(DecodeHexByte('0', '9', value));
  EXPECT_EQ(value, 0x09);
  for (const std::string pair : {"G0", "0g", " 1", "1:", "/0", "@0", "`0", "\xC0\x30"}) {
    EXPECT_FALSE(DecodeHexByte(pair[0], pair[1], value)) << pair;
  }
}

}  // namespace
}  // namespace iapflash
