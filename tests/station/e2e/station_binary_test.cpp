// The iapflash binary's station over the simulated "station" scenario, in real time: boards
// arrive and leave on the scenario's script over about eleven seconds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>

#include "fixtures.h"
#include "program_run.h"
#include "temp_folder.h"

namespace iapflash::testing::station_binary {
namespace {

using nlohmann::json;

const std::string DEMO = std::string(SAMPLES_DIR) + "/demo_app.bin";

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every line of a records file, each a whole JSON object.
std::vector<json> Records(const std::filesystem::path& path) {
  const std::string text = ReadFile(path);
  EXPECT_TRUE(text.empty() || text.back() == '\n') << "a last line without its end";
  std::vector<json> records;
  for (const std::string& line : Lines(text)) {
    if (line.empty()) continue;
    records.push_back(json::parse(line));  // throws on a broken line
  }
  return records;
}

std::vector<json> Events(const std::string& out, const std::string& name) {
  std::vector<json> events;
  for (const std::string& line : Lines(out)) {
    if (line.empty()) continue;
    const json event = json::parse(line);
    if (event["event"] == name) events.push_back(event);
  }
  return events;
}

TEST(StationBinary, ScenarioFlashesEveryBoardOnceAndRecordsEachRun) {
  TempFolder folder;
  const auto records = folder.Path("records.jsonl");
  const ProgramResult result = RunIapflash({"station", DEMO, "--simulate=station", "--count", "9",
                                            "--json", "--records", records.string()},
                                           60000);
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.status, 1) << result.err;  // four boards failed
  EXPECT_EQ(SchemaComplaints(result.out), "");

  // Each of the nine boards arrived once, had one run and one record.
  std::map<std::string, json> bySerial;
  for (const json& record : Records(records)) {
    const std::string serial = record["serial"];
    EXPECT_EQ(bySerial.count(serial), 0u) << serial << " flashed twice";
    bySerial[serial] = record;
    EXPECT_EQ(record["image"]["path"], DEMO);
    EXPECT_EQ(record["image"]["length"], 2048);
    EXPECT_THAT(record["time"].get<std::string>(),
                ::testing::MatchesRegex("20[0-9][0-9]-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:"
                                        "[0-5][0-9]\\.[0-9][0-9][0-9]Z"));
  }
  ASSERT_EQ(bySerial.size(), 9u);
  struct Expected {
    const char* serial;
    const char* result;
    json failedStep;
    json layer;
  };
  for (const Expected& expected : std::vector<Expected>{
           {"SIM0001", "success", nullptr, nullptr},
           {"SIM0002", "failure", "verify", "device"},
           {"SIM0003", "failure", "program", "link"},  // pulled in the middle of its download
           {"SIM0004", "failure", "open_link", "mode_switch"},  // never switches
           {"SIM0005", "success", nullptr, nullptr},            // its boot program already
           {"SIM0006", "success", nullptr, nullptr},
           {"SIM0007", "failure", "verify", "device"},
           {"SIM0008", "success", nullptr, nullptr},
           {"SIM0009", "success", nullptr, nullptr}}) {
    const json& record = bySerial[expected.serial];
    EXPECT_EQ(record["result"], expected.result) << expected.serial;
    EXPECT_EQ(record["failed_step_name"], expected.failedStep) << expected.serial;
    EXPECT_EQ(record["layer"], expected.layer) << expected.serial;
  }
  EXPECT_EQ(bySerial["SIM0001"]["slot"], bySerial["SIM0005"]["slot"]);  // the same socket
  EXPECT_EQ(bySerial["SIM0005"]["slot"], bySerial["SIM0008"]["slot"]);

  // The events tell the same: one arrival and one result per board, tallies equal to records.
  EXPECT_EQ(Events(result.out, "board_arrived").size(), 9u);
  EXPECT_EQ(Events(result.out, "result").size(), 9u);
  EXPECT_EQ(Events(result.out, "slot").size(), 4u);
  const json tallies = Events(result.out, "tallies").back();
  EXPECT_EQ(tallies["passed"], 5);
  EXPECT_EQ(tallies["failed"], 4);
  EXPECT_EQ(tallies["in_progress"], 0);
  const json summary = Events(result.out, "summary").back();
  EXPECT_EQ(summary["devices"], 9);
  EXPECT_EQ(summary["exit_status"], 1);
  bool pulledDuringRun = false;
  for (const json& left : Events(result.out, "board_left")) {
    if (left["board"] == 3) pulledDuringRun = left["during_run"];
  }
  EXPECT_TRUE(pulledDuringRun);
}

TEST(StationBinary, TextLinesAndABatchThatEndsAtItsCount) {
  const ProgramResult result =
      RunIapflash({"station", DEMO, "--simulate=station", "--count", "1"}, 30000);
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.status, 0) << result.err;
  const auto lines = Lines(result.out);
  EXPECT_TRUE(InOrder(lines, {"iapflash station: " + DEMO + " (2048 bytes, checksum 0x000407C5)",
                              "[0 COM21] slot at Port_#0001.Hub_#0002",
                              "[0 COM21] board 1 arrived on COM21 (serial SIM0001)",
                              "[0 COM21] ****固件下载成功.", "[0 COM21] board 1: success (*",
                              "Tallies: 1 passed, 0 failed, 0 interrupted, 0 in progress; *"}))
      << result.out;
}

// A record the disk refuses is said at once, the station goes on, and the batch does not end
// as a success however its runs went.
TEST(StationBinary, ARecordTheDiskRefusesFailsTheBatch) {
  const ProgramResult result = RunIapflash(
      {"station", DEMO, "--simulate=station", "--count", "1", "--records", "/dev/full"}, 30000);
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_EQ(result.err, "iapflash: a record could not be written: No space left on device\n");
  EXPECT_TRUE(
      InOrder(Lines(result.out), {"[0 COM21] board 1: success (*",
                                  "Tallies: 1 passed, 0 failed, 0 interrupted, 0 in progress; *"}))
      << result.out;
}

struct Stop {
  int signal;
  int status;
  const char* name;
};

// Test names stay the same from build to build: no addresses in them.
void PrintTo(const Stop& stop, std::ostream* out) {
  *out << stop.name;
}

class StationStopped : public ::testing::TestWithParam<Stop> {};

// Board 4's application never answers: its run is still going when the signal comes.
TEST_P(StationStopped, EndsRunsAsInterruptedRecordsThemAndSaysSo) {
  TempFolder folder;
  const auto records = folder.Path("records.jsonl");
  BackgroundIapflash station(
      {"station", DEMO, "--simulate=station", "--json", "--records", records.string()});
  bool arrived = false;
  for (std::string line; !(line = station.ReadLine(10000)).empty();) {
    const json event = json::parse(line);
    if (event["event"] == "port_opened" && event["position"] == 3) {
      arrived = true;
      break;
    }
  }
  ASSERT_TRUE(arrived);
  EXPECT_EQ(station.Stop(GetParam().signal), GetParam().status);
  EXPECT_THAT(station.Err(), ::testing::HasSubstr(std::string("iapflash: the station was "
                                                              "interrupted by ") +
                                                  GetParam().name));
  const std::vector<json> lines = Records(records);
  const auto interrupted = std::find_if(
      lines.begin(), lines.end(), [](const json& record) { return record["serial"] == "SIM0004"; });
  ASSERT_NE(interrupted, lines.end());
  EXPECT_EQ((*interrupted)["result"], "interrupted");
  EXPECT_EQ((*interrupted)["layer"], "interrupted");
  const json summary = Events(station.RestOfOut(), "summary").back();
  EXPECT_EQ(summary["exit_status"], GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(Signals, StationStopped,
                         ::testing::Values(Stop{SIGINT, 130, "SIGINT"},
                                           Stop{SIGTERM, 143, "SIGTERM"}),
                         [](const ::testing::TestParamInfo<Stop>& param) {
                           return std::string(param.param.name);
                         });

TEST(StationBinary, KilledMidRunLeavesOnlyWholeRecords) {
  TempFolder folder;
  const auto records = folder.Path("records.jsonl");
  BackgroundIapflash station(
      {"station", DEMO, "--simulate=station", "--json", "--records", records.string()});
  // The tallies that follow a run's end come once its record is on the disk.
  int ended = 0;
  for (std::string line; ended < 3 && !(line = station.ReadLine(10000)).empty();) {
    const json event = json::parse(line);
    if (event["event"] == "tallies")
      ended = event["passed"].get<int>() + event["failed"].get<int>();
  }
  ASSERT_EQ(ended, 3);
  EXPECT_EQ(station.Stop(SIGKILL), 128 + SIGKILL);
  EXPECT_GE(Records(records).size(), 3u);
}

// The station flashes the image it announced at its start into every board: a file overwritten
// (or removed) while it runs reaches no board, and the records name the image the boards got.
TEST(StationBinary, EveryBoardGetsTheImageAnnouncedAtTheStart) {
  TempFolder folder;
  const auto records = folder.Path("records.jsonl");
  const auto file = folder.Path("app.bin");
  std::filesystem::copy_file(DEMO, file);
  BackgroundIapflash station({"station", file.string(), "--simulate=station", "--json", "--count",
                              "9", "--records", records.string()});
  bool first = false;
  for (std::string line; !first && !(line = station.ReadLine(10000)).empty();) {
    first = json::parse(line)["event"] == "result";
  }
  ASSERT_TRUE(first);
  std::ofstream(file, std::ios::binary | std::ios::trunc) << "no update file any more";
  std::string rest;
  for (std::string line; !(line = station.ReadLine(30000)).empty();) rest += line + "\n";
  EXPECT_EQ(station.Stop(0), 1);  // the scenario's four failing boards; signal 0 only asks
  const json summary = Events(rest, "summary").back();
  EXPECT_EQ(summary["succeeded"], 5) << rest;
  const std::vector<json> lines = Records(records);
  ASSERT_EQ(lines.size(), 9u);
  for (const json& record : lines) {
    EXPECT_NE(record["failed_step_name"], "read_file") << record;
    EXPECT_EQ(record["image"]["checksum"], 0x000407C5) << record;
  }
}

// A reader that stalls (a pipe nobody reads) never holds the station: the whole batch is flashed
// and recorded while nothing is read, and a signal then ends the station, saying what was not
// written (before, the station waited on its write for ever and the test ran into its timeout).
class StationStalledReader : public ::testing::TestWithParam<bool> {};

TEST_P(StationStalledReader, NeverHoldsTheSlots) {
  TempFolder folder;
  const auto records = folder.Path("records.jsonl");
  std::vector<std::string> args = {"station", DEMO,        "--simulate=station", "--count",
                                   "9",       "--records", records.string()};
  if (GetParam()) args.push_back("--json");
  BackgroundIapflash station(args, 4096);
  EXPECT_TRUE(Eventually([&] { return Lines(ReadFile(records)).size() >= 9; }, 40000));
  EXPECT_EQ(Records(records).size(), 9u);
  EXPECT_EQ(station.Stop(SIGINT), 130);
  EXPECT_THAT(station.Err(), ::testing::HasSubstr("iapflash: the rest of the output was not "
                                                  "written: stdout is not read\n"));
}

INSTANTIATE_TEST_SUITE_P(Stalled, StationStalledReader, ::testing::Bool(),
                         [](const auto& test) { return test.param ? "Json" : "Text"; });

struct Refused {
  const char* name;
  std::vector<std::string> args;
  int status;
  const char* says;
};

void PrintTo(const Refused& refused, std::ostream* out) {
  *out << refused.name;
}

class StationRefuses : public ::testing::TestWithParam<Refused> {};

TEST_P(StationRefuses, WithItsMessageAndStatus) {
  const ProgramResult result = RunIapflash(GetParam().args, 10000);
  EXPECT_EQ(result.status, GetParam().status) << result.err;
  EXPECT_THAT(result.err, ::testing::HasSubstr(GetParam().says));
  EXPECT_EQ(result.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StationRefuses,
    ::testing::Values(
        Refused{"IapWithoutPorts", {"station", DEMO, "--iap", "--simulate"}, 2, "--iap requires"},
        Refused{"PortNamedTwice",
                {"station", DEMO, "--port", "ttyACM0", "--port", "/dev/ttyACM0"},
                2,
                "--port: /dev/ttyACM0 is named twice"},
        Refused{"CountZero", {"station", DEMO, "--count", "0", "--simulate"}, 2, "--count"},
        Refused{"UnknownScenario", {"station", DEMO, "--simulate=nowhere"}, 2, "unknown scenario"},
        Refused{"FileTheLoaderRefuses",
                {"station", "/nonexistent/fw.bin", "--simulate=station"},
                1,
                "the station needs an update file the loader accepts: /nonexistent/fw.bin"},
        Refused{"RecordsFileThatCannotBeOpened",
                {"station", DEMO, "--simulate=station", "--records", "/nonexistent/r.jsonl"},
                1,
                "iapflash: --records: cannot open /nonexistent/r.jsonl: No such file"}),
    [](const ::testing::TestParamInfo<Refused>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace iapflash::testing::station_binary
