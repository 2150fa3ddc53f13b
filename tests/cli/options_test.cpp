// What the flash command takes as its options' values.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "cli/commands.h"

namespace iapflash::cli {
namespace {

TEST(TimeoutMs, TakesDecimalSecondsFromOneMillisecond) {
  const std::pair<const char*, std::optional<uint64_t>> cases[] = {
      {"1", 1000},
      {"30", 30000},
      {"1.5", 1500},
      {".25", 250},
      {"2.", 2000},
      {"0.001", 1},
      {"0.0011", 2},
      {"0.0010000", 1},
      {"1000000", 1000000000},
      {"007", 7000},
      // Refused: nothing, no time, less than a millisecond, too long, and anything not
      // plain decimal (a hex or exponent a script did not mean, signs, names, blanks).
      {"", std::nullopt},
      {".", std::nullopt},
      {"0", std::nullopt},
      {"0.0", std::nullopt},
      {"0.0009", std::nullopt},
      {"0.000999999", std::nullopt},
      {"1000000.001", std::nullopt},
      {"99999999", std::nullopt},
      {"0x10", std::nullopt},
      {"1e3", std::nullopt},
      {"-1", std::nullopt},
      {"+1", std::nullopt},
      {"inf", std::nullopt},
      {"nan", std::nullopt},
      {"1.2.3", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"1,5", std::nullopt},
  };
  for (const auto& [text, ms] : cases) EXPECT_EQ(TimeoutMs(text), ms) << '"' << text << '"';
}

}  // namespace
}  // namespace iapflash::cli
