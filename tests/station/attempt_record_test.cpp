#include "station/attempt_record.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace iapflash {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

TEST(AttemptRecord, UtcTimeTextInIso8601WithMilliseconds) {
  const struct {
    int64_t ms;
    const char* text;
  } cases[] = {
      {0, "1970-01-01T00:00:00.000Z"},
      {951782400123, "2000-02-29T00:00:00.123Z"},  // a leap day
      {1796900399999, "2026-12-10T10:59:59.999Z"},
      {4102444800000, "2100-01-01T00:00:00.000Z"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(UtcTimeText(std::chrono::system_clock::time_point(milliseconds(c.ms))), c.text);
  }
}

AttemptRecord Record() {
  AttemptRecord record;
  record.endedAt = std::chrono::system_clock::time_point(milliseconds(951782400123));
  record.slot = 3;
  record.port = "COM24";
  record.location = "Port_#0004.Hub_#0002";
  record.serial = "SIM0004";
  record.board = 4;
  record.image = {"fw.bin", 2048, 0x407C5};
  record.outcome.ms = 1234;
  return record;
}

TEST(AttemptRecord, SuccessIsOneLineWithEveryFieldAndNullFailure) {
  AttemptRecord record = Record();
  record.outcome.finished = {true, RunStep::ReadFile, FailureLayer::None};
  const std::string line = RecordLine(record);
  ASSERT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  EXPECT_EQ(line, R"({"time":"2000-02-29T00:00:00.123Z","slot":3,"port":"COM24",)"
                  R"("location":"Port_#0004.Hub_#0002","serial":"SIM0004","board":4,)"
                  R"("image":{"path":"fw.bin","length":2048,"checksum":264133},"result":"success",)"
                  R"("failed_step":null,"failed_step_name":null,"layer":null,"message":null,)"
                  R"("seconds":1.234})"
                  "\n");
}

TEST(AttemptRecord, FailuresNameTheirStepLayerAndLine) {
  const struct {
    bool interrupted;
    bool timedOut;
    const char* result;
    const char* layer;
  } cases[] = {
      {false, false, "failure", "device"},
      {false, true, "failure", "timeout"},
      {true, false, "interrupted", "interrupted"},
  };
  for (const auto& c : cases) {
    AttemptRecord record = Record();
    record.serial.clear();
    record.outcome.finished = {false, RunStep::Verify, FailureLayer::Device};
    record.outcome.interrupted = c.interrupted;
    record.outcome.timedOut = c.timedOut;
    // A device's bytes that are not UTF-8 still make a line of JSON.
    record.outcome.finished.failureLine = "[00000400]检验(E4).\n\xff";
    const json parsed = json::parse(RecordLine(record));
    EXPECT_EQ(parsed["result"], c.result);
    EXPECT_EQ(parsed["layer"], c.layer);
    EXPECT_EQ(parsed["failed_step"], 5);
    EXPECT_EQ(parsed["failed_step_name"], "verify");
    EXPECT_EQ(parsed["message"], "[00000400]检验(E4).\n\xEF\xBF\xBD");
    EXPECT_TRUE(parsed["serial"].is_null());
  }
}

}  // namespace
}  // namespace iapflash
