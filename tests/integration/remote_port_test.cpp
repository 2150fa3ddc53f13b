// Devices on another machine: the real iapflash binary reaches a simulated device on a
// pseudo-terminal through the system's ser2net on loopback, over RFC 2217 and raw TCP.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "application_on_pty.h"
#include "fixtures.h"
#include "link/iap_commands.h"
#include "link/link.h"
#include "loopback_listener_posix.h"
#include "platform/clock.h"
#include "platform/serial_port.h"
#include "program_run.h"
#include "sim/ser2net_server_posix.h"
#include "sim/sim_app_device.h"

namespace iapflash {

// Test names show the protocol.
void PrintTo(RemoteProtocol protocol, std::ostream* os) {
  *os << (protocol == RemoteProtocol::Rfc2217 ? "rfc2217" : "tcp");
}

namespace testing {
namespace {

using ::testing::Contains;
using Steady = std::chrono::steady_clock;

// The log's line for an open that failed with the system's code.
std::string OpenErrorLine(int code) {
  char head[64];
  std::snprintf(head, sizeof head, "打开串口::Last Err(%x)", static_cast<unsigned>(code));
  return head + std::string(std::strerror(code));
}

const char* ProtocolName(RemoteProtocol protocol) {
  return protocol == RemoteProtocol::Rfc2217 ? "Rfc2217" : "RawTcp";
}

class RemotePort : public ::testing::TestWithParam<RemoteProtocol> {
 protected:
  void SetUp() override {
    // CI installs ser2net through ./dev; only a machine without it skips.
    if (!Ser2netServer::Available()) GTEST_SKIP() << "ser2net is not installed";
  }

  void SwitchBehindTheSameAddress(uint32_t leavesAfterMs);

  std::unique_ptr<Ser2netServer> Serve(const std::string& devicePath, bool recordWrites = false) {
    std::string problem;
    auto server = Ser2netServer::Start(devicePath, GetParam(), problem, 0, recordWrites);
    if (!server) ADD_FAILURE() << problem;
    return server;
  }
};

std::string ParamName(const ::testing::TestParamInfo<RemoteProtocol>& info) {
  return ProtocolName(info.param);
}

TEST_P(RemotePort, EveryByteValueArrivesInTheDeviceUnchanged) {
  TempFolder folder;
  const auto image = EveryValueImage(10240);
  const auto file = folder.Path("every-value.bin");
  WriteUpdateFile(file, image);
  ServedDevice served(SimWireTiming{115200, 0, 0});
  const auto server = Serve(served.Path(), true);
  ASSERT_NE(server, nullptr);

  const ProgramResult run =
      RunIapflash({"flash", file.string(), "--port", server->PortName(), "--iap"});
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  const auto lines = Lines(run.out);
  EXPECT_TRUE(InOrder(
      lines, {"2.打开下载接口>>", "    " + server->PortName() + "打开成功", "3.开始更新FLASH>>",
              "  成功", "4.写FLASH>>", "  成功", "5.下载检验>>", "  成功", "6.下载结束>>",
              "  END结束", "7.关闭下载接口>>", "    已关闭。", "****固件下载成功."}))
      << run.out;
  const auto memory = served.device->Memory();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()))
      << "device memory differs from the image";
  // Every frame arrived whole: no command was taken with a bad checksum.
  for (const auto& command : served.device->Commands()) {
    EXPECT_TRUE(command.frameChecksumOk) << "command " << int{command.code};
  }
  // The reset is the last frame and nothing answers it: the program has gone before the device
  // reads it, and the server, seeing the connection end, closes the device with a flush. A real
  // port reports its queue and the server waits for it to empty; a pseudo-terminal reports none,
  // and bytes the kernel has not yet passed to the device's side are dropped (about one run in
  // ten on a busy machine). What the server wrote to the device shows what the program sent.
  const std::vector<uint8_t> reset = {FRAME_HEAD_0, FRAME_HEAD_1,
                                      static_cast<uint8_t>(IapCode::Reset), 0,
                                      static_cast<uint8_t>(IapCode::Reset)};
  EXPECT_TRUE(Eventually(
      [&] {
        const auto written = server->WrittenToDevice();
        return written.size() >= reset.size() &&
               std::equal(reset.rbegin(), reset.rend(), written.rbegin());
      },
      10000))
      << "the last bytes the server wrote to the device are no reset frame";
}

TEST_P(RemotePort, ServerKilledMidDownloadFailsAtOnceWithTheFailureLines) {
  TempFolder folder;
  const auto file = folder.Path("image.bin");
  WriteUpdateFile(file, EveryValueImage(20480));
  ServedDevice served(SimWireTiming{115200, 0, 0});
  const auto server = Serve(served.Path());
  ASSERT_NE(server, nullptr);

  std::atomic<bool> stop{false};
  Steady::time_point killedAt{};
  std::thread killer([&] {
    // In the middle of the program pass: 17 bytes of start frame, then 41 per program frame.
    while (!stop && served.device->BytesReceived() < 4000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    killedAt = Steady::now();
    server->Kill();
  });
  const ProgramResult run =
      RunIapflash({"flash", file.string(), "--port", server->PortName(), "--iap"});
  const auto endedAt = Steady::now();
  stop = true;
  killer.join();

  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 1) << run.out;
  // A gone server is a failed call at once, as an unplugged device is; far within the 8 s limit
  // of a status read.
  EXPECT_LT(std::chrono::duration<double>(endedAt - killedAt).count(), 3.0) << run.out;
  const auto lines = Lines(run.out);
  std::vector<std::string> expected = {"4.写FLASH>>", "  失败.", "  下载失败", "7.关闭下载接口>>",
                                       "    已关闭。"};
  expected.insert(expected.end(), FAILURE_SUMMARY.begin(), FAILURE_SUMMARY.end());
  EXPECT_TRUE(InOrder(lines, expected)) << run.out;
  EXPECT_TRUE(InOrder(lines, {"    串口写失败"}) || InOrder(lines, {"    串口读失败."})) << run.out;
}

// A device that leaves while the start command's reply is awaited: the server closes the
// connection, and the wait ends at once with the system's words, not after its 10.5 s of dots.
TEST_P(RemotePort, DeviceGoneDuringTheStartReplyWaitEndsItAtOnce) {
  TempFolder folder;
  const auto file = folder.Path("image.bin");
  WriteUpdateFile(file, EveryValueImage(64));
  ServedDevice served({}, {"disconnect:17"});
  const auto server = Serve(served.Path());
  ASSERT_NE(server, nullptr);

  const ProgramResult run =
      RunIapflash({"flash", file.string(), "--port", server->PortName(), "--iap"});
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 1);
  EXPECT_LT(run.seconds, 3.0) << run.out;
  std::vector<std::string> expected = {"3.开始更新FLASH>>", "ReadFile:Last Err(*",
                                       "    串口读失败.",   "  Read status failure.",
                                       "  失败.",           "  下载失败"};
  EXPECT_TRUE(InOrder(Lines(run.out), expected)) << run.out;
}

// Opens that fail are an open failure with the system's words, as for a local port: nobody
// listening, a server that cannot open its device, and a device already in use by another client.
TEST_P(RemotePort, OpenFailuresAreLoggedWithTheSystemsWords) {
  TempFolder folder;
  const auto file = folder.Path("image.bin");
  WriteUpdateFile(file, EveryValueImage(64));
  const std::string scheme = GetParam() == RemoteProtocol::Rfc2217 ? "rfc2217" : "tcp";

  const std::string refused = scheme + "://127.0.0.1:" + std::to_string(FreeLoopbackPort());
  const auto missing = Serve(folder.Path("no-such-device").string());
  ASSERT_NE(missing, nullptr);
  ServedDevice served;
  const auto busy = Serve(served.Path());
  ASSERT_NE(busy, nullptr);
  SystemError error = 0;
  const auto holder = SystemSerialPorts().Open(busy->PortName(), error);
  ASSERT_NE(holder, nullptr) << error;

  const std::vector<std::pair<std::string, int>> cases = {
      {refused, ECONNREFUSED},
      {missing->PortName(), ECONNRESET},
      {busy->PortName(), ECONNRESET},
  };
  for (const auto& [name, code] : cases) {
    const ProgramResult run = RunIapflash({"flash", file.string(), "--port", name, "--iap"});
    EXPECT_EQ(run.status, 1) << name;
    EXPECT_LT(run.seconds, 3.0) << name;
    const auto lines = Lines(run.out);
    EXPECT_THAT(lines, Contains("    " + name + "打开失败")) << run.out;
    EXPECT_THAT(lines, Contains(OpenErrorLine(code))) << run.out;
    EXPECT_EQ(lines.back(), FAILURE_SUMMARY.back()) << run.out;
  }
  EXPECT_TRUE(served.device->Commands().empty());
}

// The application is never taken for its boot program: the device that stays reachable a while
// after its reply (the server would open it again) as well as the one that leaves at once.
TEST_P(RemotePort, ModeSwitchFindsTheBootProgramBehindTheSameAddress) {
  for (const uint32_t leavesAfterMs : {400u, 0u}) {
    SCOPED_TRACE(leavesAfterMs);
    SwitchBehindTheSameAddress(leavesAfterMs);
  }
}

void RemotePort::SwitchBehindTheSameAddress(uint32_t leavesAfterMs) {
  TempFolder folder;
  const auto image = EveryValueImage(4096);
  const auto file = folder.Path("image.bin");
  WriteUpdateFile(file, image);
  ServedDevice boot;
  const auto link = folder.Path("usb-0:1.2:1.0-port0");
  ApplicationOnPty application(link, boot.Path(), leavesAfterMs);
  const auto server = Serve(link.string());
  ASSERT_NE(server, nullptr);
  const std::string name = server->PortName();

  const ProgramResult run = RunIapflash({"flash", file.string(), "--port", name});
  std::printf("mode switch behind ser2net, leaving after %u ms: %.2f s\n", leavesAfterMs,
              run.seconds);
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0) << run.out;
  const auto lines = Lines(run.out);
  EXPECT_TRUE(
      InOrder(lines, {"2.打开下载接口>>", "    " + name + "打开成功", "    开始切换至IAP模式",
                      "已切换,端口:" + name, "    " + name + "打开成功", "3.开始更新FLASH>>",
                      "****固件下载成功."}))
      << run.out;
  EXPECT_EQ(application.Requests(), 1u);
  const auto memory = boot.device->Memory();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
}

// A signal in the middle of a reply's read (which may wait 8 s) ends the run at once through its
// own close, as on a local port; the server lets the device go, and the next run opens it again.
TEST_P(RemotePort, SignalInTheMiddleOfAReadEndsTheRunPromptlyAndTheNextRunOpensAgain) {
  TempFolder folder;
  const auto file = folder.Path("image.bin");
  const auto image = EveryValueImage(4096);
  WriteUpdateFile(file, image);
  ServedDevice served({}, {"silent:prog:0x400"});
  const auto server = Serve(served.Path());
  ASSERT_NE(server, nullptr);

  BackgroundIapflash run({"flash", file.string(), "--port", server->PortName(), "--iap"});
  std::string line;
  for (int i = 0; i < 10 && line != "4.写FLASH>>"; ++i) line = run.ReadLine(10000);
  ASSERT_EQ(line, "4.写FLASH>>");
  // The unanswered command has reached the device: the program now waits for its reply.
  ASSERT_TRUE(Eventually([&] {
    const auto commands = served.device->Commands();
    return std::count_if(commands.begin(), commands.end(),
                         [](const auto& command) { return command.offset == 0x400u; }) > 0;
  }));

  const auto sent = Steady::now();
  const int status = run.Stop(SIGINT);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - sent).count();
  EXPECT_EQ(status, 130);
  EXPECT_LT(ms, SIGNAL_ENDS_RUN_WITHIN_MS);
  std::printf("SIGINT to exit over %s: %lld ms\n", ProtocolName(GetParam()),
              static_cast<long long>(ms));
  const auto lines = Lines(run.RestOfOut());
  std::vector<std::string> expected = {"  失败.", "  下载失败", "7.关闭下载接口>>", "    已关闭。"};
  expected.insert(expected.end(), FAILURE_SUMMARY.begin(), FAILURE_SUMMARY.end());
  EXPECT_TRUE(InOrder(lines, expected));
  EXPECT_EQ(run.Err(), "iapflash: the run was interrupted by SIGINT\n");

  const ProgramResult again =
      RunIapflash({"flash", file.string(), "--port", server->PortName(), "--iap"});
  EXPECT_EQ(again.status, 0) << again.out << again.err;
  const auto memory = served.device->Memory();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
}

INSTANTIATE_TEST_SUITE_P(Ser2net, RemotePort,
                         ::testing::Values(RemoteProtocol::Rfc2217, RemoteProtocol::RawTcp),
                         ParamName);

// A server that takes the connection and never answers: the open waits for its answer (up to
// 2 s), and a signal ends that wait at once as well.
TEST(RemoteOpen, SignalWhileTheServersAnswerIsAwaitedEndsTheRunPromptly) {
  TempFolder folder;
  const auto file = folder.Path("image.bin");
  WriteUpdateFile(file, EveryValueImage(64));
  const LoopbackListener listener;
  ASSERT_GE(listener.Fd(), 0);
  const std::string name = "rfc2217://127.0.0.1:" + std::to_string(listener.Port());

  BackgroundIapflash run({"flash", file.string(), "--port", name, "--iap"});
  pollfd p{listener.Fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1) << "no connection came";
  const int accepted = accept(listener.Fd(), nullptr, nullptr);
  ASSERT_GE(accepted, 0);
  // Its opening requests have arrived: the open now waits for an answer.
  char request[64];
  pollfd q{accepted, POLLIN, 0};
  ASSERT_EQ(poll(&q, 1, 10000), 1);
  ASSERT_GT(read(accepted, request, sizeof request), 0);

  const auto sent = Steady::now();
  const int status = run.Stop(SIGINT);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - sent).count();
  close(accepted);
  EXPECT_EQ(status, 130);
  EXPECT_LT(ms, SIGNAL_ENDS_RUN_WITHIN_MS);
  std::printf("SIGINT to exit while opening: %lld ms\n", static_cast<long long>(ms));
  EXPECT_THAT(Lines(run.RestOfOut()), Contains("    " + name + "打开失败"));
}

// A hostile server on loopback: it takes each connection and sends one kind of Telnet command
// without end (reading what comes, or not), until the test ends.
class FloodingServer {
 public:
  FloodingServer(std::vector<uint8_t> head, std::vector<uint8_t> body, bool reads)
      : head_(std::move(head)), body_(std::move(body)), reads_(reads) {
    if (listener_.Fd() < 0) throw std::runtime_error("listener");
    name_ = "rfc2217://127.0.0.1:" + std::to_string(listener_.Port());
    // A long stretch of the pattern, sent again and again.
    for (std::size_t k = 0; block_.size() < 64 * 1024; ++k)
      block_.push_back(body_[k % body_.size()]);
    thread_ = std::thread([this] { Run(); });
  }
  ~FloodingServer() {
    stop_ = true;
    thread_.join();
  }
  const std::string& Name() const { return name_; }
  bool Flooded() const { return flooded_; }

 private:
  void Run() {
    while (!stop_) {
      pollfd p{listener_.Fd(), POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      const int client = accept(listener_.Fd(), nullptr, nullptr);
      if (client < 0) continue;
      Flood(client);
      close(client);
    }
  }
  void Flood(int client) {
    if (send(client, head_.data(), head_.size(), MSG_NOSIGNAL) < 0) return;
    while (!stop_) {
      pollfd p{client, static_cast<short>(POLLOUT | (reads_ ? POLLIN : 0)), 0};
      if (poll(&p, 1, 10) <= 0) continue;
      if (p.revents & POLLIN) {
        uint8_t sink[4096];
        if (recv(client, sink, sizeof sink, MSG_DONTWAIT) == 0) return;
      }
      if (p.revents & (POLLERR | POLLHUP)) return;
      if ((p.revents & POLLOUT) &&
          send(client, block_.data(), block_.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
          errno != EAGAIN) {
        return;
      }
      flooded_ = true;
    }
  }

  std::vector<uint8_t> head_;
  std::vector<uint8_t> body_;
  std::vector<uint8_t> block_;
  bool reads_;
  LoopbackListener listener_{8};
  std::string name_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> flooded_{false};
  std::thread thread_;
};

constexpr uint8_t TELNET_IAC = 255;
constexpr uint8_t TELNET_NOP = 241;
constexpr uint8_t TELNET_SB = 250;
constexpr uint8_t TELNET_DO = 253;

struct Flood {
  std::string name;
  std::vector<uint8_t> head;
  std::vector<uint8_t> body;
  bool reads;
};

void PrintTo(const Flood& flood, std::ostream* os) {
  *os << flood.name;
}

std::string FloodName(const ::testing::TestParamInfo<Flood>& info) {
  return info.param.name;
}

class HostileServer : public ::testing::TestWithParam<Flood> {
 protected:
  HostileServer() { WriteUpdateFile(file, EveryValueImage(64)); }
  TempFolder folder;
  const std::filesystem::path file = folder.Path("image.bin");
  FloodingServer server{GetParam().head, GetParam().body, GetParam().reads};
};

// The time limit ends a run whose server never stops sending, also while it opens the port.
TEST_P(HostileServer, TheTimeLimitEndsTheRun) {
  const ProgramResult run = RunIapflash(
      {"flash", file.string(), "--port", server.Name(), "--iap", "--timeout", "1.5"}, 20000);
  ASSERT_FALSE(run.timedOut) << "the flood held the run";
  EXPECT_EQ(run.status, 1) << run.out;
  // The flood must not hold the run past its limit (it would hold it until the 20 s above); the
  // bound leaves room for a sanitizer build's start and end on a busy machine (3.07 s has been
  // seen there).
  EXPECT_LT(run.seconds, 5.0);
  EXPECT_EQ(Lines(run.out).back(), FAILURE_SUMMARY.back()) << run.out;
}

TEST_P(HostileServer, AnInterruptEndsTheRunPromptly) {
  BackgroundIapflash run({"flash", file.string(), "--port", server.Name(), "--iap"});
  std::string line;
  for (int i = 0; i < 10 && line != "2.打开下载接口>>"; ++i) line = run.ReadLine(10000);
  ASSERT_EQ(line, "2.打开下载接口>>");
  ASSERT_TRUE(Eventually([&] { return server.Flooded(); }, 10000));
  const auto sent = Steady::now();
  const int status = run.Stop(SIGINT);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - sent).count();
  EXPECT_EQ(status, 130);
  EXPECT_LT(ms, 1000);
  EXPECT_EQ(run.Err(), "iapflash: the run was interrupted by SIGINT\n");
}

// Four good devices beside it succeed, the command prints its summary and ends.
TEST_P(HostileServer, GoodDevicesBesideItSucceedAndTheSummaryComes) {
  std::vector<std::unique_ptr<ServedDevice>> good;
  std::vector<std::string> args = {"flash", file.string(), "--iap", "--timeout", "3"};
  for (int k = 0; k < 4; ++k) {
    good.push_back(std::make_unique<ServedDevice>());
    args.insert(args.end(), {"--port", good.back()->Path()});
  }
  args.insert(args.end(), {"--port", server.Name()});
  const ProgramResult run = RunIapflash(args, 30000);
  ASSERT_FALSE(run.timedOut) << "the flood held the command";
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_THAT(Lines(run.out), Contains("Summary: 4 of 5 devices succeeded")) << run.out;
  for (const auto& device : good) {
    EXPECT_THAT(run.out, ::testing::HasSubstr(" " + device->Path() + "] ****固件下载成功.\n"))
        << run.out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Loopback, HostileServer,
    ::testing::Values(
        Flood{"Nop", {}, {TELNET_IAC, TELNET_NOP}, true},
        Flood{"EndlessSubnegotiation", {TELNET_IAC, TELNET_SB, 44}, {100, 1, 2, 3}, true},
        Flood{"UnknownOptionAgainAndAgain", {}, {TELNET_IAC, TELNET_DO, 99}, true},
        Flood{"UnknownOptionAgainAndAgainUnread", {}, {TELNET_IAC, TELNET_DO, 99}, false}),
    FloodName);

}  // namespace
}  // namespace testing
}  // namespace iapflash
