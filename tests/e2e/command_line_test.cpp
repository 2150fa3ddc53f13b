// Runs the iapflash command as an operator or a test station would, on the simulated bus.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using ::testing::ContainsRegex;
using ::testing::ElementsAre;
using ::testing::Matcher;
using ::testing::StrEq;

struct Outcome {
  int status = -1;
  std::vector<std::string> lines;
};

// Runs iapflash with arguments and collects the lines of its standard output.
Outcome RunCommand(const std::string& arguments) {
  const std::string command = std::string(IAPFLASH_COMMAND) + " " + arguments + " 2>/dev/null";
  Outcome outcome;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return outcome;
  std::string text;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) text.append(chunk, n);
  const int raw = ::pclose(pipe);
  outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    outcome.lines.push_back(line);
  }
  if (start < text.size()) outcome.lines.push_back(text.substr(start));
  return outcome;
}

std::string FlashCommand(const std::string& options) {
  return std::string("flash ") + SAMPLES_DIR + "/demo_app.bin " + options;
}

// Each matcher must match a line, in this order; other lines may come between them.
void ExpectInOrder(const std::vector<std::string>& lines,
                   const std::vector<Matcher<const std::string&>>& wanted) {
  std::size_t at = 0;
  for (std::size_t w = 0; w < wanted.size(); ++w) {
    while (at < lines.size() && !wanted[w].Matches(lines[at])) ++at;
    if (at == lines.size()) {
      ADD_FAILURE() << "line " << w
                    << " not found in order: " << ::testing::PrintToString(wanted[w]) << "\nin:\n"
                    << ::testing::PrintToString(lines);
      return;
    }
    ++at;
  }
}

TEST(CommandLine, ListShowsTheSimulatedDevices) {
  const Outcome listed = RunCommand("list --simulate");
  EXPECT_EQ(listed.status, 0);
  EXPECT_THAT(listed.lines,
              ElementsAre("已查找到5个设备", " Port0>> P0:COM5,P1:COM6,", " Port1>> P0:COM7,",
                          "IAP Port2>> P0:COM8,", " Port3>> P0:COM7,", "IAP Port4>> P0:COM8,"));
}

struct FlashCase {
  const char* id;
  const char* name;
  std::string options;
  int status;
  std::vector<Matcher<const std::string&>> lines;
};

void PrintTo(const FlashCase& c, std::ostream* out) {
  *out << c.id;
}

const std::vector<FlashCase>& FlashCases() {
  static const std::vector<FlashCase> cases = {
      {"TwoPortApplication",
       "an application device with two ports is switched and downloaded",
       "--device 0 --simulate",
       0,
       {StrEq("2.打开下载接口>>"), StrEq("    COM5打开成功"), StrEq("    开始切换至IAP模式"),
        ContainsRegex("^\\.{2,6}已切换,端口:COM9$"), StrEq("    COM9打开成功"),
        StrEq("****固件下载成功.")}},
      {"NeverReturns",
       "a device that never comes back fails after fifteen searches",
       "--device 0 --simulate=never-returns",
       1,
       {StrEq("    开始切换至IAP模式"), StrEq(std::string(16, '.') + "    失败."),
        StrEq("  下载失败")}},
      {"TwoBootPrograms",
       "of two boot programs only the one at the saved location is taken",
       "--device 1 --simulate=two-boot-programs",
       0,
       {StrEq("已查找到3个设备"), StrEq("    COM5打开成功"),
        ContainsRegex("^\\.+已切换,端口:COM9$"), StrEq("    COM9打开成功"),
        StrEq("****固件下载成功.")}},
      {"WrongReply",
       "another reply is shown and the device is still found",
       "--device 0 --simulate=wrong-reply",
       0,
       {StrEq(".    设备无响应2:Enter_IAP_Mode"), ContainsRegex("^\\.*已切换,端口:COM9$"),
        StrEq("****固件下载成功.")}},
      {"SilentApplication",
       "an application that does not answer is not searched for",
       "--simulate=silent-app",
       1,
       {StrEq("    COM7打开成功"), StrEq(".    设备无响应1:"), StrEq("    失败.")}},
      {"BootProgram",
       "a device already in its boot program is downloaded without a switch",
       "--simulate",
       0,
       {StrEq("2.打开下载接口>>"), StrEq("    COM8打开成功"), StrEq("****固件下载成功.")}},
  };
  return cases;
}

class Flash : public ::testing::TestWithParam<FlashCase> {};

TEST_P(Flash, SwitchesApplicationsAndFindsThemAgain) {
  const FlashCase& c = GetParam();
  SCOPED_TRACE(c.name);
  const Outcome run = RunCommand(FlashCommand(c.options));
  EXPECT_EQ(run.status, c.status);
  ExpectInOrder(run.lines, c.lines);
}

INSTANTIATE_TEST_SUITE_P(CommandLine, Flash, ::testing::ValuesIn(FlashCases()),
                         [](const auto& test) { return std::string(test.param.id); });

// Sixteen applications on one hub switch at once; each is found again at its own location.
TEST(CommandLine, AllDevicesOfAHubSwitchTogetherAndEachIsFoundAgain) {
  const Outcome run = RunCommand(FlashCommand("--all --simulate=hub"));
  EXPECT_EQ(run.status, 0);
  ASSERT_FALSE(run.lines.empty());
  EXPECT_EQ(run.lines.front(), "已查找到16个设备");
  for (int k = 0; k < 16; ++k) {
    SCOPED_TRACE(k);
    const std::string label = "[" + std::to_string(k) + " COM" + std::to_string(20 + k) + "] ";
    ExpectInOrder(run.lines,
                  {StrEq(label + "    COM" + std::to_string(20 + k) + "打开成功"),
                   StrEq(label + "    开始切换至IAP模式"),
                   ContainsRegex("^\\[" + std::to_string(k) + " COM[0-9]+\\] \\.+已切换,端口:COM" +
                                 std::to_string(40 + k) + "$"),
                   StrEq(label + "    COM" + std::to_string(40 + k) + "打开成功"),
                   StrEq(label + "****固件下载成功.")});
  }
  ExpectInOrder(run.lines, {StrEq("Summary: 16 of 16 devices succeeded"),
                            ContainsRegex("^  0  COM20  success +[0-9.]+$"),
                            ContainsRegex("^ 15  COM35  success +[0-9.]+$")});
}

// Named applications switch side by side, each found again at its own boot port (COM7's at
// COM10, COM5's at COM9); any that fails makes the command's status 1.
TEST(CommandLine, NamedPortsSwitchSideBySideAndOneFailureFailsTheCommand) {
  const Outcome run = RunCommand(FlashCommand("--port COM7 --port COM5 --simulate=demo"));
  EXPECT_EQ(run.status, 0);
  ASSERT_FALSE(run.lines.empty());
  EXPECT_EQ(run.lines.front(), "已查找到5个设备");
  struct Device {
    std::string label;
    std::string switched;  // the mode switch's finding, as a pattern
    std::string boot;
  };
  for (const Device& d : {Device{"[0 COM7] ", R"(^\[0 COM7\] \.+已切换,端口:COM10$)", "COM10"},
                          Device{"[1 COM5] ", R"(^\[1 COM5\] \.+已切换,端口:COM9$)", "COM9"}}) {
    SCOPED_TRACE(d.label);
    ExpectInOrder(run.lines, {StrEq(d.label + "    开始切换至IAP模式"), ContainsRegex(d.switched),
                              StrEq(d.label + "    " + d.boot + "打开成功"),
                              StrEq(d.label + "****固件下载成功.")});
  }
  ExpectInOrder(run.lines, {StrEq("Summary: 2 of 2 devices succeeded"),
                            ContainsRegex("^  0  COM7  success +[0-9.]+$"),
                            ContainsRegex("^  1  COM5  success +[0-9.]+$")});
  const Outcome failed =
      RunCommand(FlashCommand("--port COM5 --port COM9 --simulate=never-returns"));
  EXPECT_EQ(failed.status, 1);
  ExpectInOrder(failed.lines, {StrEq("Summary: 0 of 2 devices succeeded"),
                               ContainsRegex("^  0  COM5  failure +[0-9.]+  失败\\.$"),
                               ContainsRegex("^  1  COM9  failure +[0-9.]+  COM9打开失败$")});
}

}  // namespace
