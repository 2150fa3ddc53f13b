// Several devices at once through the real binary, each on a pseudo-terminal of its own: their
// labelled lines, the summary, the exit status, the JSON events checked against the documented
// schema, and the progress lines on a terminal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "fixtures.h"
#include "program_run.h"

namespace iapflash::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

// The lines of one device's log in a run of one device, with the dots that vary taken out.
std::vector<std::string> GoodLog(const std::string& port, uint32_t length) {
  const std::string dots(length / 1024, '.');
  return {"",
          "****开始通过串口接口进行IAP下载:",
          "1.读取下载文件内容>>",
          "  已读取下载数据" + std::to_string(length) + "字节",
          "2.打开下载接口>>",
          "    " + port + "打开成功",
          "3.开始更新FLASH>>",
          "  成功",
          "4.写FLASH>>",
          dots + "  成功",
          "5.下载检验>>",
          dots + "  成功",
          "6.下载结束>>",
          "  END结束",
          "7.关闭下载接口>>",
          "    已关闭。",
          "****固件下载成功."};
}

class ProductionLine : public ::testing::Test {
 protected:
  ProductionLine() {
    WriteUpdateFile(file, image);
    devices.emplace_back();
    devices.emplace_back(SimWireTiming{}, std::vector<std::string>{"status:prog:0x400:0x0A"});
    devices.emplace_back();
  }
  std::vector<std::string> Args(std::vector<std::string> extra = {}) const {
    std::vector<std::string> args{"flash", file.string()};
    for (const auto& device : devices) {
      args.push_back("--port");
      args.push_back(device.Path());
    }
    args.push_back("--iap");
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  std::string Label(std::size_t k) const {
    return "[" + std::to_string(k) + " " + devices[k].Path() + "] ";
  }

  TempFolder folder;
  const std::filesystem::path file = folder.Path("image.bin");
  const std::vector<uint8_t> image = EveryValueImage(3072);
  std::vector<ServedDevice> devices;
};

TEST_F(ProductionLine, OneFailingDeviceLeavesTheOthersToSucceedAndTheExitStatusSaysSo) {
  const ProgramResult run = RunIapflash(Args());
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_THAT(run.err, IsEmpty()) << "no progress lines when stderr is not a terminal";

  // Each device's lines, in its own order, whole: what a run of that device alone writes.
  const auto lines = Lines(run.out);
  const auto summary = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.rfind("Summary: ", 0) == 0;
  });
  ASSERT_NE(summary, lines.end()) << run.out;
  std::map<std::size_t, std::vector<std::string>> logs;
  const std::regex labelled(R"(\[(\d+) ([^\]]+)\] (.*))");
  for (auto it = lines.begin(); it != summary; ++it) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(*it, match, labelled)) << "a line without its label: " << *it;
    const std::size_t position = std::stoul(match[1]);
    ASSERT_LT(position, devices.size());
    EXPECT_EQ(match[2], devices[position].Path());
    logs[position].push_back(match[3]);
  }
  for (std::size_t k : {0u, 2u}) {
    SCOPED_TRACE(k);
    auto log = logs[k];
    ASSERT_GE(log.size(), 8u);
    // Only the start reply's wait varies in its dots.
    EXPECT_TRUE(std::regex_match(log[7], std::regex(R"(\.*  成功)"))) << log[7];
    log[7] = "  成功";
    EXPECT_THAT(log, ElementsAreArray(GoodLog(devices[k].Path(), 3072)));
    const auto memory = devices[k].device->Memory();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
  }
  EXPECT_THAT(logs[1], Contains(".  [00000400]编程(A).")) << "after the first KiB's dot";
  EXPECT_EQ(logs[1].back(), "    3.MCU有没有进入到IAP下载模式;");

  // The summary: a count line, a heading, one row per device in position order.
  const std::vector<std::string> table(summary, lines.end());
  ASSERT_EQ(table.size(), 5u) << run.out;
  EXPECT_EQ(table[0], "Summary: 2 of 3 devices succeeded");
  for (std::size_t k = 0; k < devices.size(); ++k) {
    SCOPED_TRACE(table[2 + k]);
    const std::string row =
        "^ +" + std::to_string(k) + "  " + devices[k].Path() + " +" +
        (k == 1 ? "failure +\\d+\\.\\d  \\[00000400\\]编程\\(A\\)\\.$" : "success +\\d+\\.\\d$");
    EXPECT_TRUE(std::regex_search(table[2 + k], std::regex(row)));
  }
}

TEST_F(ProductionLine, JsonEventsFollowTheSchemaLineByLine) {
  const ProgramResult run = RunIapflash(Args({"--json"}));
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(SchemaComplaints(run.out), "");

  std::map<std::size_t, std::vector<nlohmann::json>> perDevice;
  std::vector<nlohmann::json> all;
  for (const std::string& line : Lines(run.out)) {
    all.push_back(nlohmann::json::parse(line));
    if (all.back().contains("position")) {
      perDevice[all.back()["position"].get<std::size_t>()].push_back(all.back());
    }
  }
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.back(), nlohmann::json::parse(R"({"event":"summary","elapsed":)" +
                                              all.back()["elapsed"].dump() +
                                              R"(,"devices":3,"succeeded":2,"failed":1,)"
                                              R"("exit_status":1})"));
  double elapsed = 0;
  for (const auto& object : all) {
    EXPECT_GE(object["elapsed"].get<double>(), elapsed) << "seconds since start only grow";
    elapsed = object["elapsed"].get<double>();
  }
  for (std::size_t k = 0; k < devices.size(); ++k) {
    SCOPED_TRACE(k);
    const auto& objects = perDevice[k];
    ASSERT_FALSE(objects.empty());
    std::vector<std::string> texts;
    std::map<std::string, uint32_t> shown;  // last progress per pass
    for (const auto& object : objects) {
      EXPECT_EQ(object["port"], devices[k].Path());
      if (object["event"] == "log") texts.push_back(object["text"]);
      if (object["event"] != "progress") continue;
      const auto done = object["done"].get<uint32_t>();
      const std::string pass = object["pass"];
      if (done != 0 && done != object["total"].get<uint32_t>()) {
        EXPECT_GE(done - shown[pass], 1024u) << "progress more often than once per 1024 bytes";
      }
      shown[pass] = done;
    }
    const auto& result = objects.back();
    EXPECT_EQ(result["event"], "result");
    if (k == 1) {
      EXPECT_EQ(result["success"], false);
      EXPECT_EQ(result["failed_step_name"], "program");
      EXPECT_EQ(result["layer"], "device");
      EXPECT_EQ(result["message"], "[00000400]编程(A).");
      EXPECT_EQ(shown["program"], 1024u) << "the pass stopped where the device refused";
    } else {
      EXPECT_EQ(result["success"], true);
      EXPECT_EQ(shown["program"], 3072u);
      EXPECT_EQ(shown["verify"], 3072u);
      ASSERT_GE(texts.size(), 8u);
      texts[7] = std::regex_replace(texts[7], std::regex(R"(^\.+)"), "");
      EXPECT_THAT(texts, ElementsAreArray(GoodLog(devices[k].Path(), 3072)))
          << "the log objects hold the log, line by line";
    }
  }
}

TEST_F(ProductionLine, OneDevicesJsonFollowsTheSchemaToo) {
  const ProgramResult run =
      RunIapflash({"flash", file.string(), "--port", devices[0].Path(), "--iap", "--json"});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(SchemaComplaints(run.out), "");
  EXPECT_THAT(run.out, HasSubstr(R"("event":"result")"));
  EXPECT_THAT(run.out, Not(HasSubstr("\n****"))) << "no log text outside the objects";
}

TEST_F(ProductionLine, OnATerminalEachDeviceHasItsProgressLine) {
  const ProgramResult run = RunIapflash(Args(), 30000, true);
  EXPECT_EQ(run.status, 1);
  for (std::size_t k = 0; k < devices.size(); ++k) {
    EXPECT_THAT(run.err, HasSubstr(Label(k) + (k == 1 ? "failed at step 4" : "succeeded in")));
  }
  EXPECT_THAT(run.err, HasSubstr("\x1b[3A")) << "the block is redrawn in place";
  EXPECT_THAT(run.out, Not(HasSubstr("\x1b"))) << "stdout stays plain text";
}

TEST(ProductionLineUsage, ConflictingOrRepeatedDevicesAreUsageErrors) {
  TempFolder folder;
  const std::string file = folder.Path("x.bin").string();
  const std::vector<std::vector<std::string>> cases = {
      {"flash", file, "--port", "ttyS0", "--port", "ttyS0", "--iap"},
      {"flash", file, "--port", "/dev/pts/1", "--port", "ttyS2", "--port", "/dev/pts/1"},
      {"flash", file, "--port", "ttyACM0", "--port", "/dev/ttyACM0", "--json"},
      {"flash", file, "--all", "--port", "ttyS0"},
      {"flash", file, "--all", "--device", "1"},
      {"flash", file, "--all", "--iap"},
      {"flash", file, "--json", "--port"},
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& arg : args) shown += arg + " ";
    const ProgramResult run = RunIapflash(args);
    EXPECT_EQ(run.status, 2) << shown;
    EXPECT_THAT(run.out, IsEmpty()) << shown;
    EXPECT_THAT(run.err, Not(IsEmpty())) << shown;
  }
}

}  // namespace
}  // namespace iapflash::testing
