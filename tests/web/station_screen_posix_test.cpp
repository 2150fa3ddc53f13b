#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "loopback_client.h"
#include "web/station_screen.h"

namespace iapflash::web {
namespace {

using testing::EventsRequest;
using ::testing::HasSubstr;
using testing::LoopbackClient;
using ::testing::Not;
using testing::Request;
using ::testing::StartsWith;

std::unique_ptr<StationScreen> StartScreen(ScreenOptions options = {}) {
  options.address.port = 0;
  std::string error;
  auto screen = StationScreen::Start(options, error);
  EXPECT_TRUE(screen) << error;
  return screen;
}

std::string Body(const std::string& response) {
  auto end = response.find("\r\n\r\n");
  return end == std::string::npos ? "" : response.substr(end + 4);
}

std::string LogLine(int n, const std::string& text = "") {
  return R"({"event":"log","elapsed":0.0,"position":0,"port":"COM5","text":"line )" +
         std::to_string(n) + " " + text + R"("})";
}

TEST(StationScreenTest, ListensOnlyOnTheAddressItIsGiven) {
  struct Case {
    const char* bound;
    const char* reached;
    bool connects;
  };
  for (const Case& c :
       {Case{"127.0.0.1", "127.0.0.1", true}, Case{"127.0.0.1", "127.0.0.2", false},
        Case{"127.0.0.2", "127.0.0.2", true}, Case{"127.0.0.2", "127.0.0.1", false}}) {
    ScreenOptions options;
    options.address.host = c.bound;
    auto screen = StartScreen(options);
    ASSERT_TRUE(screen);
    LoopbackClient client(c.reached, screen->Port());
    EXPECT_EQ(client.Connected(), c.connects) << c.bound << " reached at " << c.reached;
  }
}

TEST(StationScreenTest, SaysWhyItCannotListen) {
  auto first = StartScreen();
  ASSERT_TRUE(first);
  ScreenOptions options;
  options.address.port = first->Port();
  std::string error;
  EXPECT_EQ(StationScreen::Start(options, error), nullptr);
  EXPECT_THAT(error, HasSubstr("http://127.0.0.1:" + std::to_string(first->Port()) + "/"));
  options.address.host = "192.0.2.1";  // not this machine's
  EXPECT_EQ(StationScreen::Start(options, error), nullptr);
  EXPECT_THAT(error, HasSubstr("192.0.2.1"));
}

TEST(StationScreenTest, ServesThePageItsScriptAndStyle) {
  auto screen = StartScreen();
  struct Case {
    const char* path;
    const char* status;
    const char* type;
  };
  for (const Case& c : {Case{"/", "200", "text/html"}, Case{"/screen.js", "200", "text/javascript"},
                        Case{"/screen.css", "200", "text/css"}, Case{"/index.htm", "404", ""},
                        Case{"/../etc/passwd", "404", ""}, Case{"/records/x", "404", ""}}) {
    std::string response = Request(screen->Port(), "GET", c.path);
    EXPECT_THAT(response, StartsWith(std::string("HTTP/1.1 ") + c.status)) << c.path;
    if (std::string(c.status) == "200") {
      EXPECT_THAT(response, HasSubstr(std::string("Content-Type: ") + c.type)) << c.path;
      EXPECT_THAT(response,
                  HasSubstr("Content-Security-Policy: default-src 'none'; script-src 'self'"));
      EXPECT_THAT(response, HasSubstr("X-Content-Type-Options: nosniff"));
    }
  }
}

TEST(StationScreenTest, NoMethodChangesAnything) {
  auto screen = StartScreen();
  screen->PublishRecord(R"({"slot":0,"result":"passed"})");
  for (const char* method : {"POST", "PUT", "DELETE", "PATCH", "OPTIONS"}) {
    for (const char* path : {"/", "/events", "/records", "/screen.js"}) {
      std::string response = Request(screen->Port(), method, path, R"({"slot":1})");
      EXPECT_THAT(response, StartsWith("HTTP/1.1 405")) << method << " " << path;
      EXPECT_THAT(response, HasSubstr("Allow: GET, HEAD")) << method << " " << path;
      EXPECT_THAT(Body(response), "The station's page is read-only.\n");
    }
  }
  LoopbackClient brew("127.0.0.1", screen->Port());
  brew.Send("BREW / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_TRUE(brew.ReadUntil("HTTP/1.1 400"));
  EXPECT_EQ(nlohmann::json::parse(Body(Request(screen->Port(), "GET", "/records"))),
            nlohmann::json::parse(R"([{"slot":0,"result":"passed"}])"));
}

TEST(StationScreenTest, RecordsComeBackAsAnArrayWithMarkupEscaped) {
  ScreenOptions options;
  options.recordsKept = 3;
  auto screen = StartScreen(options);
  EXPECT_EQ(Body(Request(screen->Port(), "GET", "/records")), "[]\n");
  for (int i = 0; i < 5; ++i) {
    screen->PublishRecord(R"({"slot":)" + std::to_string(i) +
                          R"(,"message":"<img src=x onerror=alert(1)>"})" + "\n");
  }
  screen->PublishRecord("not a record");
  std::string response = Request(screen->Port(), "GET", "/records");
  EXPECT_THAT(response, HasSubstr("Content-Type: application/json"));
  std::string body = Body(response);
  EXPECT_EQ(body.find_first_of("<>"), std::string::npos) << body;
  auto records = nlohmann::json::parse(body);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0]["slot"], 2);
  EXPECT_EQ(records[2]["message"], "<img src=x onerror=alert(1)>");
}

TEST(StationScreenTest, AViewerGetsTheStationAsItIsThenEveryEvent) {
  auto screen = StartScreen();
  screen->PublishEvent(R"({"event":"station_started","watch":"ports"})");
  screen->PublishEvent(R"({"event":"slot","position":0,"port":"<b>COM5</b>"})");
  screen->PublishEvent(LogLine(1));  // passes by: a viewer that comes later does not get it
  screen->PublishRecord(R"({"slot":0,"result":"passed"})");

  LoopbackClient viewer("127.0.0.1", screen->Port());
  viewer.Send(EventsRequest());
  ASSERT_TRUE(viewer.ReadUntil("HTTP/1.1 200 OK"));
  ASSERT_TRUE(viewer.ReadUntil("Content-Type: text/event-stream"));
  ASSERT_TRUE(viewer.ReadUntil("data: {\"event\":\"station_started\",\"watch\":\"ports\"}\n\n"));
  ASSERT_TRUE(viewer.ReadUntil(
      R"(data: {"event":"slot","position":0,"port":"\u003cb\u003eCOM5\u003c/b\u003e"})"));
  ASSERT_TRUE(viewer.ReadUntil("event: record\ndata: {\"slot\":0,\"result\":\"passed\"}\n\n"));
  EXPECT_THAT(viewer.Received(), Not(HasSubstr("line 1")));
  EXPECT_EQ(screen->Viewers(), 1u);

  screen->PublishEvent(LogLine(2, "<script>"));
  EXPECT_TRUE(viewer.ReadUntil("data: " + LogLine(2, "\\u003cscript\\u003e") + "\n\n"));
  screen->PublishRecord(R"({"slot":1})");
  EXPECT_TRUE(viewer.ReadUntil("event: record\ndata: {\"slot\":1}\n\n"));
}

TEST(StationScreenTest, RefusesTheViewerPastTheLimitAndKeepsServingTheOthers) {
  auto screen = StartScreen();
  std::vector<std::unique_ptr<LoopbackClient>> viewers;
  for (int i = 0; i < 32; ++i) {
    viewers.push_back(std::make_unique<LoopbackClient>("127.0.0.1", screen->Port()));
    viewers.back()->Send(EventsRequest());
    ASSERT_TRUE(viewers.back()->ReadUntil("retry: 1000\n\n")) << "viewer " << i + 1;
  }
  std::string refused = Request(screen->Port(), "GET", "/events");
  EXPECT_THAT(refused, StartsWith("HTTP/1.1 503"));
  EXPECT_THAT(refused, HasSubstr("Retry-After: 10"));
  EXPECT_EQ(Body(refused), "The station's page has 32 viewers already; try again later.\n");
  // The page itself is still served beside 32 streams.
  EXPECT_THAT(Request(screen->Port(), "GET", "/"), StartsWith("HTTP/1.1 200"));

  screen->PublishEvent(LogLine(33));
  for (auto& viewer : viewers) EXPECT_TRUE(viewer->ReadUntil(LogLine(33)));
  EXPECT_EQ(screen->Viewers(), 32u);
}

TEST(StationScreenTest, AViewerThatNeverReadsHoldsUpNeitherPublishingNorTheOthers) {
  ScreenOptions options;
  options.viewerQueueBytes = 64 * 1024;
  options.publishEvery = std::chrono::milliseconds(1);
  auto screen = StartScreen(options);
  LoopbackClient stalled("127.0.0.1", screen->Port(), /*receiveBuffer=*/4096);
  stalled.Send(EventsRequest());
  LoopbackClient reader("127.0.0.1", screen->Port());
  reader.Send(EventsRequest());
  ASSERT_TRUE(reader.ReadUntil("retry: 1000\n\n"));

  // More than the stalled viewer's queue and both sockets' buffers (4 MiB at most) hold. The
  // reader takes each batch before the next (a batch stays well inside its queue).
  const std::string text(8000, 'x');
  const int events = 800;
  const int batch = 4;
  for (int i = 0; i < events; ++i) {
    screen->PublishEvent(LogLine(i, text));
    if ((i + 1) % batch == 0) {
      ASSERT_TRUE(reader.ReadUntil("line " + std::to_string(i) + " ")) << "event " << i;
    }
  }
  // Once it reads again, it finds its stream cut short and ended: its events were dropped.
  EXPECT_TRUE(stalled.ReadToEnd());
  EXPECT_THAT(stalled.Received(), HasSubstr("HTTP/1.1 200 OK"));
  EXPECT_THAT(stalled.Received(), Not(HasSubstr("line " + std::to_string(events - 1) + " ")));
  screen->PublishEvent(LogLine(events));
  EXPECT_TRUE(reader.ReadUntil("line " + std::to_string(events) + " "));
}

// Viewers that join while the station publishes: each gets one slot's progress as the station
// published it from the count its first bytes show on, none left out, none twice.
TEST(StationScreenTest, ViewersJoiningWhileTheStationPublishesMissNothingAndGetNothingTwice) {
  auto screen = StartScreen();
  screen->PublishEvent(R"({"event":"slot","position":0,"port":"COM5"})");
  const int last = 3000;
  const auto progress = [](int done) {
    return R"({"event":"progress","elapsed":0.0,"position":0,"port":"COM5","pass":"program",)"
           R"("done":)" +
           std::to_string(done) + R"(,"total":)" + std::to_string(last) + "}";
  };
  std::thread station([&] {
    for (int done = 0; done <= last; ++done) screen->PublishEvent(progress(done));
  });
  std::vector<std::unique_ptr<LoopbackClient>> viewers;
  for (int i = 0; i < 8; ++i) {
    viewers.push_back(std::make_unique<LoopbackClient>("127.0.0.1", screen->Port()));
    viewers.back()->Send(EventsRequest());
    ASSERT_TRUE(viewers.back()->ReadUntil("retry: 1000\n\n"));
  }
  station.join();
  for (std::size_t i = 0; i < viewers.size(); ++i) {
    ASSERT_TRUE(viewers[i]->ReadUntil(progress(last)));
    std::vector<int> counts;
    const std::string& received = viewers[i]->Received();
    for (std::size_t at = received.find("data: "); at != std::string::npos;
         at = received.find("data: ", at + 1)) {
      auto object =
          nlohmann::json::parse(received.substr(at + 6, received.find('\n', at) - at - 6));
      if (object["event"] == "progress") counts.push_back(object["done"].get<int>());
    }
    ASSERT_FALSE(counts.empty());
    for (std::size_t k = 1; k < counts.size(); ++k) {
      ASSERT_EQ(counts[k], counts[k - 1] + 1) << "viewer " << i << ", object " << k;
    }
    EXPECT_EQ(counts.back(), last);
  }
}

}  // namespace
}  // namespace iapflash::web
