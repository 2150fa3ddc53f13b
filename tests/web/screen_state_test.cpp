#include "web/screen_state.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "web/page_files.h"

namespace iapflash::web {
namespace {

using ::testing::ElementsAre;

TEST(PageLineTest, MarkupCharactersBecomeEscapesOfTheSameObject) {
  const std::string line =
      R"({"event":"log","position":0,"port":"COM5","text":"<img src=x onerror=alert(1)> & \"q\""})";
  std::string page = PageLine(line + "\r\n");
  EXPECT_EQ(page.find_first_of("<>&"), std::string::npos) << page;
  EXPECT_EQ(nlohmann::json::parse(page), nlohmann::json::parse(line));
  EXPECT_THAT(page, ::testing::HasSubstr(R"(\u003cimg src=x onerror=alert(1)\u003e \u0026)"));
}

TEST(PageLineTest, OnlyOneJsonObjectPasses) {
  for (const char* text : {"", "not json", "{", "[1,2]", "\"text\"", "42", "{} {}", "null"}) {
    EXPECT_EQ(PageLine(text), "") << text;
  }
  // Line ends between tokens stay out of the line: an event stream's data is one line.
  EXPECT_EQ(PageLine("{\"a\":\n1}"), "{\"a\": 1}");
}

std::string Event(const std::string& name, int position, const std::string& rest = "") {
  return R"({"event":")" + name + R"(","position":)" + std::to_string(position) + rest + "}";
}

TEST(ScreenStateTest, ANewViewerReplaysEachSlotsLastObjectsInTheirOrder) {
  ScreenState state(100);
  const std::string started = R"({"event":"station_started","watch":"ports"})";
  state.AddEvent(started);
  state.AddEvent(Event("slot", 0));
  state.AddEvent(Event("slot", 1));
  state.AddEvent(Event("board_arrived", 0, R"(,"board":1)"));
  state.AddEvent(Event("step_started", 0, R"(,"step":4)"));
  state.AddEvent(Event("log", 0));
  state.AddEvent(Event("progress", 0, R"(,"done":0)"));
  state.AddEvent(Event("progress", 0, R"(,"done":1024)"));
  state.AddEvent(Event("result", 0, R"(,"success":false)"));
  state.AddEvent(R"({"event":"tallies","passed":0})");
  state.AddEvent(Event("board_left", 0, R"(,"board":1)"));
  state.AddEvent(R"({"event":"tallies","passed":1})");
  // Slot 0's next board: its last result stays, the first board's run and leaving go.
  state.AddEvent(Event("board_arrived", 0, R"(,"board":2)"));
  state.AddEvent(Event("board_arrived", 1, R"(,"board":3)"));
  state.AddEvent(Event("step_started", 1, R"(,"step":1)"));

  EXPECT_THAT(state.SnapshotEvents(), ElementsAre(started, Event("slot", 0), Event("slot", 1),
                                                  Event("result", 0, R"(,"success":false)"),
                                                  R"({"event":"tallies","passed":1})",
                                                  Event("board_arrived", 0, R"(,"board":2)"),
                                                  Event("board_arrived", 1, R"(,"board":3)"),
                                                  Event("step_started", 1, R"(,"step":1)")));
}

TEST(ScreenStateTest, ANewStationStartsFromNothing) {
  ScreenState state(100);
  state.AddEvent(R"({"event":"station_started","count":1})");
  state.AddEvent(Event("slot", 0));
  state.AddEvent(R"({"event":"summary","devices":1})");
  state.AddEvent(R"({"event":"station_started","count":2})");
  EXPECT_THAT(state.SnapshotEvents(), ElementsAre(R"({"event":"station_started","count":2})"));
}

TEST(ScreenStateTest, ObjectsWithoutASlotOrName) {
  ScreenState state(100);
  for (const char* line :
       {R"({"position":0})", R"({"event":3,"position":0})", R"({"event":"slot"})",
        R"({"event":"slot","position":"0"})", R"({"event":"unknown","position":0})", "[]"}) {
    state.AddEvent(line);
  }
  EXPECT_THAT(state.SnapshotEvents(), ElementsAre());
}

TEST(ScreenStateTest, RecordsKeepTheLastOnes) {
  ScreenState state(/*recordsKept=*/60, /*recordsShown=*/50);
  for (int i = 0; i < 70; ++i) state.AddRecord("{\"n\":" + std::to_string(i) + "}");
  auto shown = state.LastRecords();
  ASSERT_EQ(shown.size(), 50u);
  EXPECT_EQ(shown.front(), "{\"n\":20}");
  EXPECT_EQ(shown.back(), "{\"n\":69}");
  auto all = nlohmann::json::parse(state.RecordsArray());
  ASSERT_EQ(all.size(), 60u);
  EXPECT_EQ(all.front()["n"], 10);
  EXPECT_EQ(nlohmann::json::parse(ScreenState(10).RecordsArray()), nlohmann::json::array());
}

TEST(PageFilesTest, ThePageSetsTextsAsTextOnly) {
  const PageFile* script = FindPageFile("/screen.js");
  ASSERT_NE(script, nullptr);
  for (const char* markupSink : {"innerHTML", "outerHTML", "insertAdjacentHTML", "document.write",
                                 "eval(", "new Function"}) {
    EXPECT_EQ(script->body.find(markupSink), std::string_view::npos) << markupSink;
  }
  EXPECT_NE(script->body.find("textContent"), std::string_view::npos);
  const PageFile* page = FindPageFile("/");
  ASSERT_NE(page, nullptr);
  EXPECT_TRUE(page->contentType.starts_with("text/html"));
  // The page loads nothing from elsewhere: its script and style are its own.
  EXPECT_EQ(page->body.find("http"), std::string_view::npos);
  EXPECT_EQ(FindPageFile("/index.html"), nullptr);
}

}  // namespace
}  // namespace iapflash::web
