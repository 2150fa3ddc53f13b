// Where the loader's strict HEX walk stops, for the info command's pointer into the text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hex_text.h"
#include "image/hex_image.h"

namespace iapflash {
namespace {

using testing::HEX_END;
using testing::HexData;
using testing::HexRecord;

TEST(HexStop, PointsAtTheFirstCharacterTheWalkCannotTake) {
  const std::string record = HexData(0, {1, 2, 3, 4});  // 21 characters with CR LF
  std::string badDigit = record;
  badDigit[14] = 'x';
  std::string badSum = record;
  badSum[17] = badSum[17] == '0' ? '1' : '0';
  struct Case {
    const char* name;
    std::string text;
    uint32_t position;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"LfLineEnds", HexRecord(0, 0, {1, 2, 3, 4}, "\n") + ":00000001FF\n", 21, "begin here"},
      {"LeadingBlank", " " + HEX_END, 0, "begin here"},
      {"NoEndRecord", record, 21, "ends before an end-of-file record"},
      {"CutRecord", record + ":10000000", 21, "runs past the end"},
      {"BadDigitInData", badDigit + HEX_END, 14, "not a hexadecimal digit"},
      {"BadDigitInCount", ":0G000001FF\r\n", 2, "not a hexadecimal digit"},
      {"BadChecksum", badSum + HEX_END, 17, "checksum"},
      {"TypeSix", HexRecord(6, 0, {}) + HEX_END, 7, "unknown record type"},
      {"DataAtAFlashAddress", HexData(0x4000, {1}) + HEX_END, 3, "no base is subtracted"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> image(1024);
    uint32_t length = 0;
    HexStop stop;
    EXPECT_FALSE(ConvertHexImage(c.text.data(), static_cast<uint32_t>(c.text.size()), image.data(),
                                 1024, length, &stop))
        << c.name;
    EXPECT_EQ(stop.position, c.position) << c.name;
    EXPECT_NE(std::string(stop.reason).find(c.reason), std::string::npos)
        << c.name << ": " << stop.reason;
  }
}

}  // namespace
}  // namespace iapflash
