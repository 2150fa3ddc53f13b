// One device under another spelling through the real binary: refused as named twice before
// anything is opened; a relative name that opens something else is another port; a scheme in
// capitals still reaches the server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "fixtures.h"
#include "program_run.h"
#include "sim/ser2net_server_posix.h"

namespace iapflash::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

TEST(PortIdentityEndToEnd, OneDeviceUnderTwoNamesIsAUsageErrorAndNothingIsOpened) {
  TempFolder folder;
  const fs::path file = folder.Path("update.bin");
  WriteUpdateFile(file, EveryValueImage(1024));
  ServedDevice served;
  const std::string target = served.Path();  // /dev/pts/N
  const std::string pts = target.substr(5);
  fs::create_symlink(target, folder.Path("station-1"));
  const std::string port = std::to_string(FreeLoopbackPort());
  struct Case {
    std::string first;
    std::string second;
    const char* workingFolder;  // nullptr: the test's own
  };
  const std::vector<Case> cases = {
      {target, folder.Path("station-1").string(), nullptr},
      {folder.Path("station-1").string(), target, nullptr},
      {target, "/dev/../dev/" + pts, nullptr},
      {target, "//dev/" + pts, nullptr},
      {pts, target, "/dev"},
      {"rfc2217://127.0.0.1:" + port, "rfc2217://localhost:" + port, nullptr},
      {"rfc2217://127.0.0.1:" + port, "tcp://127.0.0.1:" + port, nullptr},
      {"tcp://LOCALHOST:" + port, "RFC2217://127.0.0.1:" + port, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.first + " / " + c.second);
    std::optional<WorkingFolder> working;
    if (c.workingFolder) working.emplace(c.workingFolder);
    const ProgramResult run =
        RunIapflash({"flash", file.string(), "--port", c.first, "--port", c.second, "--iap"});
    EXPECT_EQ(run.status, 2);
    EXPECT_THAT(run.out, IsEmpty());
    EXPECT_EQ(run.err,
              "--port: " + c.second + " is named twice\nRun with --help for more information.\n");
  }
  EXPECT_TRUE(served.device->Commands().empty()) << "the device was never written to";
}

TEST(PortIdentityEndToEnd, BlanksAroundAPortNameAreRefused) {
  TempFolder folder;
  const fs::path file = folder.Path("update.bin");
  WriteUpdateFile(file, EveryValueImage(1024));
  ServedDevice served;
  for (const std::string& name :
       {served.Path() + " ", " " + served.Path(), "\t" + served.Path(), served.Path() + "\n",
        std::string("COM7 "), std::string("rfc2217://127.0.0.1:4001 ")}) {
    SCOPED_TRACE(name);
    const ProgramResult run = RunIapflash({"flash", file.string(), "--port", name, "--iap"});
    EXPECT_EQ(run.status, 2);
    EXPECT_THAT(run.out, IsEmpty());
    EXPECT_THAT(run.err, HasSubstr("the port name begins or ends with a blank"));
  }
  EXPECT_TRUE(served.device->Commands().empty());
}

// pts/N opens a path relative to the working folder: there it is no port, and the device at
// /dev/pts/N runs once, as the other name fails on its own.
TEST(PortIdentityEndToEnd, ARelativeNameIsTheFileItOpens) {
  TempFolder folder;
  const auto image = EveryValueImage(2048);
  const fs::path file = folder.Path("update.bin");
  WriteUpdateFile(file, image);
  ServedDevice served;
  const std::string pts = served.Path().substr(5);
  const WorkingFolder inFolder(folder.Root());
  const ProgramResult run =
      RunIapflash({"flash", file.string(), "--port", served.Path(), "--port", pts, "--iap"});
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_THAT(run.err, Not(HasSubstr("named twice")));
  EXPECT_THAT(run.out, HasSubstr("[1 " + pts + "]     " + pts + "打开失败"));
  EXPECT_THAT(run.out, HasSubstr("[1 " + pts + "] 打开串口::Last Err(2)"));
  const auto memory = served.device->Memory();
  ASSERT_GE(memory.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
}

TEST(PortIdentityEndToEnd, ASchemeInCapitalsReachesTheServer) {
  if (!Ser2netServer::Available()) GTEST_SKIP() << "ser2net is not installed (./dev installs it)";
  TempFolder folder;
  const auto image = EveryValueImage(2048);
  const fs::path file = folder.Path("update.bin");
  WriteUpdateFile(file, image);
  ServedDevice served;
  std::string problem;
  const auto server = Ser2netServer::Start(served.Path(), RemoteProtocol::Rfc2217, problem);
  ASSERT_NE(server, nullptr) << problem;
  const std::string name = "RFC2217://127.0.0.1:" + std::to_string(server->Port());
  const ProgramResult run = RunIapflash({"flash", file.string(), "--port", name, "--iap"});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  const auto memory = served.device->Memory();
  ASSERT_GE(memory.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
}

}  // namespace
}  // namespace iapflash::testing
