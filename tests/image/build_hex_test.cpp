// The reader of a build's Intel HEX output: what real tool chains write, and what it refuses.
#include "image/build_hex.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "hex_text.h"

namespace iapflash {
namespace {

using ::testing::HasSubstr;
using testing::HexRecord;

constexpr uint32_t CAPACITY = 102400;
const std::string LF = "\n";
const std::string CRLF = "\r\n";

std::vector<uint8_t> Bytes(uint32_t count, uint8_t first) {
  std::vector<uint8_t> bytes(count);
  for (uint32_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + 7 * i);
  return bytes;
}

std::string Data(uint16_t address, const std::vector<uint8_t>& data, const std::string& end = LF) {
  return HexRecord(0, address, data, end);
}
std::string Linear(uint16_t upper, const std::string& end = LF) {
  return HexRecord(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)}, end);
}
std::string Segment(uint16_t segment, const std::string& end = LF) {
  return HexRecord(2, 0, {static_cast<uint8_t>(segment >> 8), static_cast<uint8_t>(segment)}, end);
}
std::string End(const std::string& end = LF) {
  return HexRecord(1, 0, {}, end);
}

// Joined byte runs: the image the text is meant to give.
std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

struct Good {
  const char* name;
  std::string text;
  std::optional<uint32_t> base;
  uint32_t expectedBase;
  std::vector<uint8_t> image;
};

TEST(BuildHex, ReadsWhatToolChainsWrite) {
  const auto a = Bytes(16, 1), b = Bytes(16, 50), c32 = Bytes(32, 99), d = Bytes(32, 200);
  const std::vector<uint8_t> gap16(16, 0xFF);
  const std::vector<Good> cases = {
      {"LfSixteenByteRecordsAtFlashBase",
       Linear(0x0800) + Data(0x4000, a) + Data(0x4010, b) + End(), std::nullopt, 0x08004000,
       Join({a, b})},
      {"CrLfThirtyTwoByteRecords",
       Linear(0x0800, CRLF) + Data(0x4000, c32, CRLF) + Data(0x4020, d, CRLF) + End(CRLF),
       std::nullopt, 0x08004000, Join({c32, d})},
      {"GapBetweenRecordsIsFilled", Linear(0x0800) + Data(0x4000, a) + Data(0x4020, b) + End(),
       std::nullopt, 0x08004000, Join({a, gap16, b})},
      {"RecordsOutOfOrder", Linear(0x0800) + Data(0x4010, b) + Data(0x4000, a) + End(),
       std::nullopt, 0x08004000, Join({a, b})},
      {"ExplicitBaseBelowDataLeadsWithFill", Linear(0x0800) + Data(0x4010, a) + End(), 0x08004000,
       0x08004000, Join({gap16, a})},
      {"ExtendedSegmentAddress", Segment(0x1000) + Data(0x0004, a) + End(), std::nullopt, 0x10004,
       a},
      {"SegmentOffsetWrapsWithinTheSegment",
       Segment(0x1000) + Data(0x0010, a) + Data(0xFFF8, b) + End(), std::nullopt, 0x10000,
       [&] {
         // b's last 8 bytes wrap round to the segment's start.
         std::vector<uint8_t> image(0x10000, 0xFF);
         std::copy(b.begin() + 8, b.end(), image.begin());
         std::copy(a.begin(), a.end(), image.begin() + 0x10);
         std::copy(b.begin(), b.begin() + 8, image.begin() + 0xFFF8);
         return image;
       }()},
      {"LinearRecordCrossingSixtyFourKiB", Linear(0x0800) + Data(0xFFF8, a) + End(), std::nullopt,
       0x0800FFF8, a},
      {"StartAddressRecordsIgnored",
       Linear(0x0800) + Data(0x4000, a) + HexRecord(3, 0, {0, 0, 1, 2}, LF) +
           HexRecord(5, 0, {0x08, 0, 0x41, 0x01}, LF) + End(),
       std::nullopt, 0x08004000, a},
      {"IdenticalOverlapAccepted", Data(0x0000, a) + Data(0x0008, {a.begin() + 8, a.end()}) + End(),
       std::nullopt, 0, a},
      {"BlankLinesTrailingBlanksAndByteOrderMark",
       "\xEF\xBB\xBF" + Data(0x0100, a) + "\n\r\n" + Data(0x0110, b).insert(43, " \t") + End() +
           "\n\n",
       std::nullopt, 0x100, Join({a, b})},
      {"LowerCaseDigitsAndNoFinalLineEnd",
       ":0400000001020304f2\n:00000001ff",
       std::nullopt,
       0,
       {1, 2, 3, 4}},
      {"EmptyDataRecordIgnored",
       Data(0x0200, {}) + Data(0x0000, {9}) + End(),
       std::nullopt,
       0,
       {9}},
  };
  for (const Good& c : cases) {
    const BuildHexResult result = ReadBuildHex(c.text, c.base, CAPACITY);
    ASSERT_TRUE(result.ok) << c.name << ": " << result.message << " at " << result.line << ":"
                           << result.column;
    EXPECT_EQ(result.base, c.expectedBase) << c.name;
    EXPECT_EQ(result.image, c.image) << c.name;
  }
}

TEST(BuildHex, ImageOfExactlyTheCapacityFitsAndOneMoreByteDoesNot) {
  std::string text;
  for (uint32_t offset = 0; offset < CAPACITY; offset += 32) {
    if (offset % 0x10000 == 0) text += Linear(static_cast<uint16_t>(0x0800 + (offset >> 16)));
    text += Data(static_cast<uint16_t>(offset), Bytes(32, static_cast<uint8_t>(offset >> 5)));
  }
  const BuildHexResult fits = ReadBuildHex(text + End(), std::nullopt, CAPACITY);
  ASSERT_TRUE(fits.ok) << fits.message;
  EXPECT_EQ(fits.image.size(), CAPACITY);
  EXPECT_EQ(fits.base, 0x08000000u);

  const BuildHexResult over = ReadBuildHex(
      text + Data(static_cast<uint16_t>(CAPACITY), {0}) + End(), std::nullopt, CAPACITY);
  EXPECT_FALSE(over.ok);
  EXPECT_THAT(over.message, HasSubstr("102401 bytes"));
  EXPECT_THAT(over.message, HasSubstr("102400"));
}

struct Bad {
  const char* name;
  std::string text;
  std::optional<uint32_t> base;
  uint32_t line;
  uint32_t column;
  const char* message;
};

TEST(BuildHex, RefusesWithTheLineAndColumnToBlame) {
  const auto a = Bytes(16, 1);
  std::string badChecksum = Data(0x4000, a);
  badChecksum[41] = badChecksum[41] == '0' ? '1' : '0';  // last checksum digit
  std::string badDigit = Data(0x4000, a);
  badDigit[12] = 'G';
  const std::vector<Bad> cases = {
      {"BadChecksum", Linear(0x0800) + badChecksum + End(), std::nullopt, 2, 42, "checksum"},
      {"NotAHexDigit", Linear(0x0800) + badDigit + End(), std::nullopt, 2, 13,
       "not a hexadecimal digit"},
      {"NoColon", Data(0, a) + " " + Data(0x10, a) + End(), std::nullopt, 2, 1, "begins with ':'"},
      {"OddDigitCount", ":0100000001FE0\n" + End(), std::nullopt, 1, 15, "odd number"},
      {"CountDisagreesWithRecord", ":0200000001FD\n" + End(), std::nullopt, 1, 2,
       "byte count says 2"},
      {"TooShort", ":00000001\n", std::nullopt, 1, 10, "too short"},
      {"TypeSix", HexRecord(6, 0, {}, LF) + End(), std::nullopt, 1, 8, "unknown record type 06"},
      {"BaseRecordOfFourBytes", HexRecord(4, 0, {0, 0, 0, 0}, LF) + End(), std::nullopt, 1, 2,
       "type 4 holds 2 data bytes, not 4"},
      {"StartRecordOfTwoBytes", HexRecord(5, 0, {0, 0}, LF) + End(), std::nullopt, 1, 2,
       "type 5 holds 4 data bytes, not 2"},
      {"NoEndRecord", Data(0, a) + Data(0x10, a), std::nullopt, 3, 1, "no end-of-file record"},
      {"TextAfterEnd", Data(0, a) + End() + Data(0x10, a), std::nullopt, 3, 1,
       "after the end-of-file record"},
      {"OnlyAnEndRecord", End(), std::nullopt, 0, 0, "no data"},
      {"EmptyText", "", std::nullopt, 1, 1, "no end-of-file record"},
      {"DifferentDataOverlaps", Data(0, a) + Data(0x000F, {0xEE}) + End(), std::nullopt, 2, 4,
       "overlaps line 1 with different data at address 0x0000000F"},
      {"DataBelowTheBase", Linear(0x0800) + Data(0x4000, a) + Data(0x3FF0, a) + End(), 0x08004000,
       3, 4, "0x08003FF0 lies below the base 0x08004000"},
      {"FlashAndRamFarApart",
       Linear(0x0800) + Data(0x4000, a) + Linear(0x2000) + Data(0, a) + End(), std::nullopt, 4, 4,
       "more than the 102400 bytes"},
      {"PastFourGiB", Linear(0xFFFF) + Data(0xFFF8, a) + End(), std::nullopt, 2, 4,
       "past address 0xFFFFFFFF"},
  };
  for (const Bad& c : cases) {
    const BuildHexResult result = ReadBuildHex(c.text, c.base, CAPACITY);
    EXPECT_FALSE(result.ok) << c.name;
    EXPECT_THAT(result.message, HasSubstr(c.message)) << c.name;
    EXPECT_EQ(result.line, c.line) << c.name << ": " << result.message;
    EXPECT_EQ(result.column, c.column) << c.name << ": " << result.message;
    EXPECT_TRUE(result.image.empty()) << c.name;
  }
}

}  // namespace
}  // namespace iapflash
