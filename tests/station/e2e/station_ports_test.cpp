// --port slots in real time: simulated devices on pseudo-terminals behind symbolic links that
// appear and disappear as a board's by-path link does when it is plugged in and pulled out.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "fixtures.h"
#include "program_run.h"
#include "sim/sim_fault.h"
#include "temp_folder.h"

namespace iapflash::testing::station_ports {
namespace {

using nlohmann::json;

const std::string DEMO = std::string(SAMPLES_DIR) + "/demo_app.bin";

std::size_t StartCommands(const SimDevice& device) {
  std::size_t starts = 0;
  for (const SimCommandRecord& command : device.Commands()) {
    starts += command.code == SIM_CODE_START ? 1 : 0;
  }
  return starts;
}

// The next object of the given event, skipping others; null at the end or after timeoutMs.
json NextEvent(BackgroundIapflash& station, const std::string& name, int timeoutMs = 10000) {
  for (std::string line; !(line = station.ReadLine(timeoutMs)).empty();) {
    json event = json::parse(line);
    if (event["event"] == name) return event;
  }
  return nullptr;
}

TEST(StationPorts, ABoardBehindALinkIsFlashedOncePerInsertion) {
  TempFolder folder;
  const auto link = folder.Path("usb-0:1.1:1.0");
  auto first = std::make_unique<ServedDevice>();
  ServedDevice second;
  std::filesystem::create_symlink(first->Path(), link);
  BackgroundIapflash station(
      {"station", DEMO, "--port", link.string(), "--iap", "--count", "2", "--json"});

  const json slot = NextEvent(station, "slot");
  ASSERT_FALSE(slot.is_null());
  EXPECT_EQ(slot["port"], link.string());
  EXPECT_EQ(slot["location"], link.string());
  const json result = NextEvent(station, "result");
  ASSERT_FALSE(result.is_null());
  EXPECT_EQ(result["success"], true);
  // Plugged in on: the slot opens the port on every look, and never starts it again.
  EXPECT_EQ(StartCommands(*first->device), 1u);

  // Pulled out; a second board is plugged into the same socket.
  std::filesystem::remove(link);
  first.reset();
  const json left = NextEvent(station, "board_left");
  ASSERT_FALSE(left.is_null());
  EXPECT_EQ(left["board"], 1);
  std::filesystem::create_symlink(second.Path(), link);
  const json arrived = NextEvent(station, "board_arrived");
  ASSERT_FALSE(arrived.is_null());
  EXPECT_EQ(arrived["board"], 2);
  EXPECT_EQ(arrived["position"], 0);
  EXPECT_EQ(NextEvent(station, "result")["success"], true);
  const json summary = NextEvent(station, "summary");
  ASSERT_FALSE(summary.is_null());
  EXPECT_EQ(summary["exit_status"], 0);
  EXPECT_EQ(station.ReadLine(10000), "");  // its end
  EXPECT_EQ(station.Stop(0), 0);           // it ends by itself: signal 0 only asks
  EXPECT_EQ(StartCommands(*second.device), 1u);
}

TEST(StationPorts, AnEmptySlotWaitsWithoutARunAndASignalEndsIt) {
  TempFolder folder;
  BackgroundIapflash station(
      {"station", DEMO, "--port", folder.Path("nothing-here").string(), "--iap", "--json"});
  ASSERT_FALSE(NextEvent(station, "slot").is_null());
  // A second's looks find nothing: no arrival, no run.
  EXPECT_EQ(station.ReadLine(1000), "");
  EXPECT_EQ(station.Stop(SIGINT), 130);
  const std::string rest = station.RestOfOut();
  EXPECT_THAT(rest, ::testing::Not(::testing::HasSubstr("board_arrived")));
  EXPECT_THAT(rest, ::testing::HasSubstr(R"("event":"summary")"));
  EXPECT_THAT(station.Err(), ::testing::HasSubstr("interrupted by SIGINT"));
}

}  // namespace
}  // namespace iapflash::testing::station_ports
