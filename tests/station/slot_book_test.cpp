#include "station/slot_book.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <sstream>

namespace iapflash {
namespace {

// A step of a station's life: a look that finds the boards in `present` ("KEY" or
// "KEY:SERIAL", blank-separated; board KEY shows port-KEY; "=PORT" is a device without a USB
// location, its slot's key its port; a "/app" ending: listed as an application), or, when
// finish names a position, that slot's run ending, or, when resultOut does, the result of that
// slot's run coming out (its record still on its way).
struct Step {
  uint64_t atMs;
  std::string present;
  std::string expect;  // the look's changes: "slotP", "arriveP#B", "idleP#B", "leftP#B" ("!":
                       // during its run)
  int finish = -1;
  bool success = true;
  int resultOut = -1;
};

std::vector<BoardSighting> Boards(const std::string& present) {
  std::vector<BoardSighting> boards;
  std::istringstream words(present);
  for (std::string word; words >> word;) {
    BoardSighting board;
    if (word.ends_with("/app")) {
      board.application = true;
      word.resize(word.size() - 4);
    }
    const std::size_t colon = word.find(':');
    board.key = word.substr(0, colon);
    board.port = "port-" + board.key;
    if (board.key.front() == '=') board.key = board.port = board.key.substr(1);
    if (colon != std::string::npos) board.serial = word.substr(colon + 1);
    boards.push_back(board);
  }
  return boards;
}

std::string Text(const std::vector<SlotChange>& changes) {
  std::string text;
  for (const SlotChange& change : changes) {
    if (!text.empty()) text += ' ';
    if (const auto* added = std::get_if<SlotAdded>(&change)) {
      text += "slot" + std::to_string(added->position);
    } else if (const auto* arrived = std::get_if<BoardArrived>(&change)) {
      text += (arrived->runs ? "arrive" : "idle") + std::to_string(arrived->position) + "#" +
              std::to_string(arrived->board);
    } else if (const auto* left = std::get_if<BoardLeft>(&change)) {
      text += "left" + std::to_string(left->position) + "#" + std::to_string(left->board) +
              (left->duringRun ? "!" : "");
    }
  }
  return text;
}

DeviceOutcome Outcome(bool success, bool interrupted = false) {
  DeviceOutcome outcome;
  outcome.finished = {success, success ? RunStep::ReadFile : RunStep::Verify,
                      success ? FailureLayer::None : FailureLayer::Device};
  outcome.interrupted = interrupted;
  return outcome;
}

void Play(SlotBook& book, const std::vector<Step>& steps) {
  for (const Step& step : steps) {
    if (step.resultOut >= 0) {
      book.ResultOut(static_cast<std::size_t>(step.resultOut));
      continue;
    }
    if (step.finish >= 0) {
      book.Finish(static_cast<std::size_t>(step.finish), Outcome(step.success));
      continue;
    }
    EXPECT_EQ(Text(book.Look(Boards(step.present), step.atMs)), step.expect)
        << "at " << step.atMs << " ms with \"" << step.present << "\"";
  }
}

constexpr uint64_t GONE = BOARD_GONE_AFTER_MS;

struct Case {
  const char* name;
  std::vector<Step> steps;
};

// Test names stay the same from build to build: no addresses in them.
void PrintTo(const Case& lifeCase, std::ostream* out) {
  *out << lifeCase.name;
}

class SlotBookLife : public ::testing::TestWithParam<Case> {};

TEST_P(SlotBookLife, FlashesEachBoardOncePerInsertion) {
  SlotBook book(0, std::nullopt);
  Play(book, GetParam().steps);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SlotBookLife,
    ::testing::Values(Case{"StaysAfterItsRunAndIsNeverFlashedAgain",
                           {{0, "a", "slot0 arrive0#1"},
                            {250, "a", ""},
                            {0, "", "", 0},
                            {500, "a", ""},
                            {60000, "a", ""}}},
                      Case{"RestartAfterItsRunShorterThanTheGoneTimeIsTheSameBoard",
                           {{0, "a", "slot0 arrive0#1"},
                            {0, "", "", 0},
                            {100, "", ""},
                            {100 + GONE - 1, "", ""},
                            {100 + GONE, "a", ""}}},
                      Case{"GoneLongEnoughThenANewBoardGetsItsOwnRun",
                           {{0, "a", "slot0 arrive0#1"},
                            {0, "", "", 0, false},
                            {300, "a", ""},
                            {400, "", ""},
                            {400 + GONE, "", "left0#1"},
                            {400 + GONE + 250, "", ""},
                            {400 + GONE + 500, "a", "arrive0#2"}}},
                      Case{"AbsentDuringItsRunIsTheRunsBusinessAndNeverStartsAnother",
                           {{0, "a", "slot0 arrive0#1"},
                            {250, "", ""},
                            {250 + 2 * GONE, "", ""},
                            {250 + 2 * GONE + 250, "a", ""}}},
                      Case{"PulledMidRunLeavesOnceItsRunEnded",
                           {{0, "a", "slot0 arrive0#1"},
                            {250, "", ""},
                            {0, "", "", 0, false},
                            {250 + GONE, "", "left0#1!"},
                            {250 + GONE + 250, "a", "arrive0#2"}}},
                      Case{"PulledAtOnceAfterASuccessfulRunLeavesAfterIt",
                           {{0, "a", "slot0 arrive0#1"},
                            {0, "", "", 0},
                            {100, "", ""},
                            {100 + GONE, "", "left0#1"}}},
                      Case{"SwappedFasterThanTheGoneTimeTellsByItsSerialNumber",
                           {{0, "a:S1", "slot0 arrive0#1"},
                            {0, "", "", 0},
                            {250, "", ""},
                            {500, "a:S2", "left0#1 arrive0#2"}}},
                      Case{"SwappedAsItsResultCameOutBeforeItsRunHadEndedIsANewBoard",
                           {{0, "a:S1", "slot0 arrive0#1"},
                            {20, "a:S1", ""},
                            {0, "", "", -1, true, 0},
                            {40, "a:S2", ""},
                            {0, "", "", 0},
                            {60, "a:S2", "left0#1 arrive0#2"}}},
                      Case{"RestartedIntoItsNewApplicationUnderANewSerialNumberIsTheSameBoard",
                           {{0, "a:BOOT1", "slot0 arrive0#1"},
                            {0, "", "", 0},
                            {100, "", ""},
                            {600, "a:APP9/app", ""},
                            {600 + GONE, "a:APP9/app", ""},
                            {60000, "a:APP9/app", ""}}},
                      Case{"AnApplicationUnderANewSerialNumberLongAfterTheRunIsANewBoard",
                           {{0, "a:S1", "slot0 arrive0#1"},
                            {0, "", "", 0},
                            {100, "a:S1", ""},
                            {100 + GONE, "a:S2/app", "left0#1 arrive0#2"}}},
                      Case{"BootProgramsOtherSerialNumberDuringTheRunIsStillTheSameBoard",
                           {{0, "a:APP1", "slot0 arrive0#1"},
                            {600, "a:BOOT", ""},
                            {0, "", "", 0},
                            {900, "a:APP1", ""},
                            {1200, "a:BOOT", ""}}},
                      Case{"ItsBootProgramFirstSeenAfterItsResultIsTheSameBoard",
                           {{0, "a:APP1/app", "slot0 arrive0#1"},
                            {0, "", "", -1, false, 0},
                            {20, "a:BOOT", ""},
                            {0, "", "", 0, false},
                            {40, "a:BOOT", ""},
                            {40 + GONE, "a:BOOT", ""},
                            {60000, "a:BOOT", ""},
                            {60100, "", ""},
                            {60100 + GONE, "", "left0#1"},
                            {60100 + GONE, "a:BOOT2", "arrive0#2"}}},
                      Case{"ABootProgramUnderANewSerialNumberOnceItsOwnWasSeenIsANewBoard",
                           {{0, "a:APP1/app", "slot0 arrive0#1"},
                            {300, "a:BOOT1", ""},
                            {0, "", "", 0},
                            {600, "a:BOOT2", "left0#1 arrive0#2"}}},
                      Case{"ItsPortWithoutItsLocationDuringAChangeIsTheSameBoard",
                           {{0, "a b", "slot0 arrive0#1 slot1 arrive1#2"},
                            {250, "=port-a b", ""},
                            {0, "", "", 0},
                            {250 + GONE, "=port-a", ""},
                            {250 + 2 * GONE, "", ""},
                            {250 + 3 * GONE, "", "left0#1"},
                            {250 + 3 * GONE, "a", "arrive0#3"}}},
                      Case{"APortWithoutALocationNoBoardHoldsIsASlotOfItsOwn",
                           {{0, "a", "slot0 arrive0#1"},
                            {0, "", "", 0},
                            {50, "a", ""},
                            {100, "", ""},
                            {100 + GONE, "", "left0#1"},
                            {100 + GONE, "=port-a =ttyS0", "slot1 arrive1#2 slot2 arrive2#3"},
                            {200 + GONE, "=port-a a", "arrive0#4"}}},
                      Case{"OneSerialNumberInTwoSlotsIsTwoBoardsEachFlashedOnce",
                           {{0, "a:S b:S", "slot0 arrive0#1 slot1 arrive1#2"},
                            {0, "", "", 0},
                            {0, "", "", 1},
                            {250, "b:S a:S", ""},
                            {500, "a:T b:S", "left0#1 arrive0#3"}}},
                      Case{"ADeviceListedTwiceIsOneBoard",
                           {{0, "a a b", "slot0 arrive0#1 slot1 arrive1#2"}}},
                      Case{"SlotsKeepTheirPositionsAsBoardsComeAndGo",
                           {{0, "b", "slot0 arrive0#1"},
                            {100, "a b", "slot1 arrive1#2"},
                            {0, "", "", 1},
                            {0, "", "", 0},
                            {150, "b a", ""},
                            {200, "", ""},
                            {200 + GONE, "a", "left0#1"},
                            {200 + GONE + 100, "b a", "arrive0#3"}}}),
    [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

TEST(SlotBook, PortSlotsAreTheOnlySlotsAndKeepTheirOrder) {
  SlotBook book(0, std::nullopt);
  EXPECT_EQ(book.AddSlot("/dev/pts/7", "/dev/pts/7", "/dev/pts/7"), 0u);
  EXPECT_EQ(book.AddSlot("/dev/pts/3", "/dev/pts/3", "/dev/pts/3"), 1u);
  Play(book, {{0, "/dev/pts/3 /dev/pts/9", "arrive1#1"}, {100, "/dev/pts/7", "arrive0#2"}});
  ASSERT_EQ(book.Slots().size(), 2u);
}

TEST(SlotBook, BatchStartsNoMoreRunsThanItsCountAndEndsWhenTheyHaveEnded) {
  SlotBook book(0, 2);
  Play(book, {{0, "a b c", "slot0 arrive0#1 slot1 arrive1#2 slot2 idle2#3"}});
  EXPECT_EQ(book.Count(0).inProgress, 2u);
  book.Finish(0, Outcome(true));
  EXPECT_FALSE(book.BatchDone());
  // A board that arrives into a free slot once the batch is full is left alone too.
  Play(book, {{50, "a b c", ""},
              {100, "b c", ""},
              {100 + GONE, "b c", "left0#1"},
              {100 + GONE, "a b c", "idle0#4"}});
  book.Finish(1, Outcome(false));
  EXPECT_TRUE(book.BatchDone());
  // Idle boards have no run to finish.
  book.Finish(2, Outcome(true));
  EXPECT_EQ(book.Finished(), 2u);
}

TEST(SlotBook, TalliesCountEachEndedRunOnceByItsResult) {
  SlotBook book(1000, std::nullopt);
  book.Look(Boards("a b c d"), 1000);
  book.Finish(0, Outcome(true));
  book.Finish(1, Outcome(false));
  book.Finish(2, Outcome(false, true));
  book.Finish(2, Outcome(true));  // a slot's run ends once
  const Tallies tallies = book.Count(1000 + 1800000);
  EXPECT_EQ(tallies.passed, 1u);
  EXPECT_EQ(tallies.failed, 1u);
  EXPECT_EQ(tallies.interrupted, 1u);
  EXPECT_EQ(tallies.inProgress, 1u);
  EXPECT_DOUBLE_EQ(tallies.boardsPerHour, 6.0);  // three in half an hour
  EXPECT_DOUBLE_EQ(SlotBook(0, std::nullopt).Count(5000).boardsPerHour, 0.0);
}

TEST(SlotBook, ArrivalCarriesTheBoardsEntryForItsRun) {
  SlotBook book(0, std::nullopt);
  BoardSighting board;
  board.key = "Port_#0003.Hub_#0001";
  board.port = "COM7";
  board.serial = "A1";
  board.entry = DeviceEntry{};
  board.entry->ports.push_back(PortEntry{.portName = "COM7"});
  const auto changes = book.Look({board}, 0);
  ASSERT_EQ(changes.size(), 2u);
  const auto& arrived = std::get<BoardArrived>(changes[1]);
  ASSERT_TRUE(arrived.job.entry.has_value());
  EXPECT_EQ(arrived.job.entry->ports.front().portName, "COM7");
  EXPECT_EQ(arrived.job.port, "COM7");
  EXPECT_EQ(book.Slots()[0].location, "Port_#0003.Hub_#0001");
  EXPECT_EQ(book.Slots()[0].sighting.serial, "A1");
}

}  // namespace
}  // namespace iapflash
