// The one time budget of a read or write that the posix, remote and simulated ports keep: the
// totals (multiplier x bytes + constant), no limit when both are zero, the interval between two
// bytes counted from the last one, and "return at once" for no interval wait without totals.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <string>

#include "platform/serial_timeouts.h"

namespace iapflash {
namespace {

constexpr uint64_t START = 1'000'000;
constexpr int UNLIMITED = TransferBudget::UNLIMITED;
constexpr int INT_MAX_MS = std::numeric_limits<int>::max();

struct ReadCase {
  std::string name;
  SerialTimeouts timeouts;
  uint32_t size;
  uint64_t afterMs;                  // when the wait is asked for, from the start
  std::optional<uint64_t> lastByte;  // when the last byte came, from the start
  int expected;
};

void PrintTo(const ReadCase& c, std::ostream* out) {
  *out << c.name;
}

class ReadBudget : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadBudget, WaitsWhatTheRulesAllow) {
  const ReadCase& c = GetParam();
  const TransferBudget budget = TransferBudget::ForRead(c.timeouts, c.size, START);
  const std::optional<uint64_t> lastByte =
      c.lastByte ? std::optional<uint64_t>(START + *c.lastByte) : std::nullopt;
  EXPECT_EQ(budget.WaitMs(START + c.afterMs, lastByte), c.expected);
}

// {interval, read multiplier, read constant, write multiplier, write constant}
INSTANTIATE_TEST_SUITE_P(
    Rules, ReadBudget,
    ::testing::Values(
        ReadCase{"TotalAtTheStart", {0, 1000, 2000, 50, 500}, 6, 0, {}, 8000},
        ReadCase{"TotalOneMsBeforeItsEnd", {0, 1000, 2000, 50, 500}, 6, 7999, {}, 1},
        ReadCase{"TotalSpent", {0, 1000, 2000, 50, 500}, 6, 8000, {}, 0},
        ReadCase{"TotalLongPast", {0, 1, 2000, 0, 0}, 14, 99999, {}, 0},
        ReadCase{"WriteFieldsDoNotCountForARead", {0, 0, 0, 50, 500}, 6, 0, {}, UNLIMITED},
        ReadCase{"NoTotalsNoLimit", {0, 0, 0, 0, 0}, 6, 5000, {}, UNLIMITED},
        ReadCase{"IntervalWaitsForTheFirstByteWithoutLimit", {20, 0, 0, 0, 0}, 6, 0, {}, UNLIMITED},
        ReadCase{"IntervalCountsFromTheLastByte", {50, 0, 0, 0, 0}, 6, 130, 100, 20},
        ReadCase{"IntervalPassed", {50, 0, 0, 0, 0}, 6, 151, 100, 0},
        ReadCase{"TotalEndsBeforeTheInterval", {50, 0, 120, 0, 0}, 6, 100, 90, 20},
        ReadCase{"IntervalEndsBeforeTheTotal", {50, 0, 2000, 0, 0}, 6, 100, 90, 40},
        ReadCase{"NoIntervalWaitWithoutTotalsReturnsAtOnce",
                 {NO_INTERVAL_WAIT, 0, 0, 0, 0},
                 6,
                 0,
                 {},
                 0},
        ReadCase{"AtOnceEvenAfterAByte", {NO_INTERVAL_WAIT, 0, 0, 0, 0}, 6, 10, 5, 0},
        ReadCase{"NoIntervalWaitWithATotalKeepsTheTotal",
                 {NO_INTERVAL_WAIT, 0, 300, 0, 0},
                 6,
                 100,
                 100,
                 200},
        ReadCase{"HugeRequestsNeitherWrapNorOverflowTheWait",
                 {0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0},
                 0xFFFFFFFF,
                 0,
                 {},
                 INT_MAX_MS}),
    [](const ::testing::TestParamInfo<ReadCase>& tested) { return tested.param.name; });

TEST(WriteBudget, KeepsTheWriteTotalsAndNoIntervalRule) {
  const SerialTimeouts timeouts{20, 1000, 2000, 50, 500};
  const TransferBudget budget = TransferBudget::ForWrite(timeouts, 10, START);
  EXPECT_FALSE(budget.Immediate());
  EXPECT_EQ(budget.WaitMs(START), 1000);
  EXPECT_EQ(budget.WaitMs(START + 400, START + 399), 600) << "no interval rule for writes";
  EXPECT_EQ(budget.WaitMs(START + 1000), 0);

  const SerialTimeouts none{NO_INTERVAL_WAIT, 0, 0, 0, 0};
  const TransferBudget unlimited = TransferBudget::ForWrite(none, 10, START);
  EXPECT_FALSE(unlimited.Immediate()) << "no interval wait is a rule of reads only";
  EXPECT_EQ(unlimited.WaitMs(START + 100000), UNLIMITED);
}

}  // namespace
}  // namespace iapflash
