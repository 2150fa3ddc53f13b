// Remote slots in real time: simulated devices on pseudo-terminals behind the system's ser2net on
// loopback, over RFC 2217 and raw TCP. A board leaves as a remote one does: the server stays and
// cannot open its device (it accepts each connection, says "Device open failure" and closes it),
// or the server itself goes away (connections refused), or the device hangs up in the middle of
// its download; a board comes back behind the same address.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "application_on_pty.h"
#include "fixtures.h"
#include "program_run.h"
#include "sim/ser2net_server_posix.h"
#include "sim/sim_fault.h"
#include "temp_folder.h"

namespace iapflash {

void PrintTo(RemoteProtocol protocol, std::ostream* os) {
  *os << (protocol == RemoteProtocol::Rfc2217 ? "rfc2217" : "tcp");
}

namespace testing::station_ser2net {
namespace {

using nlohmann::json;

constexpr uint32_t IMAGE_LENGTH = 4096;

std::size_t StartCommands(const SimDevice& device) {
  const auto commands = device.Commands();
  return static_cast<std::size_t>(std::count_if(
      commands.begin(), commands.end(),
      [](const SimCommandRecord& command) { return command.code == SIM_CODE_START; }));
}

bool HoldsImage(const SimDevice& device, const std::vector<uint8_t>& image) {
  const auto memory = device.Memory();
  return memory.size() >= image.size() && std::equal(image.begin(), image.end(), memory.begin());
}

std::unique_ptr<Ser2netServer> Serve(const std::filesystem::path& device, RemoteProtocol protocol,
                                     uint16_t port = 0) {
  std::string problem;
  auto server = Ser2netServer::Start(device.string(), protocol, problem, port);
  if (!server) ADD_FAILURE() << problem;
  return server;
}

// A station's --json output as it is read: every line kept, the events parsed.
class EventLog {
 public:
  explicit EventLog(BackgroundIapflash& station) : station_(station) {}

  // Reads until an event of that name for which also holds; false when the output ends or
  // nothing comes for timeoutMs.
  bool Until(const std::string& name, const std::function<bool(const json&)>& also = nullptr,
             int timeoutMs = 20000) {
    for (std::string line; !(line = station_.ReadLine(timeoutMs)).empty();) {
      Take(line);
      const json& event = events_.back();
      if (event["event"] == name && (!also || also(event))) return true;
    }
    return false;
  }
  // Reads events of that name until there are count of them in all.
  bool UntilCount(const std::string& name, std::size_t count) {
    while (Named(name).size() < count) {
      if (!Until(name)) return false;
    }
    return true;
  }
  // The rest of the output after the program's end.
  void TakeRest(const std::string& rest) {
    for (const std::string& line : Lines(rest)) {
      if (!line.empty()) Take(line);
    }
  }

  std::vector<json> Named(const std::string& name) const {
    std::vector<json> named;
    std::copy_if(events_.begin(), events_.end(), std::back_inserter(named),
                 [&](const json& event) { return event["event"] == name; });
    return named;
  }
  const std::string& Text() const { return text_; }

 private:
  void Take(const std::string& line) {
    text_ += line + "\n";
    events_.push_back(json::parse(line));
  }

  BackgroundIapflash& station_;
  std::vector<json> events_;
  std::string text_;
};

// Tallies that count this many ended runs.
std::function<bool(const json&)> Ended(int runs) {
  return [runs](const json& tallies) {
    return tallies["passed"].get<int>() + tallies["failed"].get<int>() == runs;
  };
}

// Every line of a records file, each a whole JSON object ending with its line end.
std::vector<json> Records(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  const std::string all = text.str();
  EXPECT_TRUE(all.empty() || all.back() == '\n') << "a last line without its end";
  std::vector<json> records;
  for (const std::string& line : Lines(all)) {
    if (!line.empty()) records.push_back(json::parse(line));  // throws on a broken line
  }
  return records;
}

// What a connection to the server gets before it closes (it closes at once when the server
// cannot open its device).
std::string FirstWords(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  std::string got;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char buffer[256];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) got.append(buffer, n);
  }
  close(fd);
  return got;
}

class StationOverSer2net : public ::testing::Test {
 protected:
  void SetUp() override {
    // CI installs ser2net through ./dev; only a machine without it skips.
    if (!Ser2netServer::Available()) GTEST_SKIP() << "ser2net is not installed";
    WriteUpdateFile(file_, image_);
  }

  TempFolder folder_;
  const std::vector<uint8_t> image_ = EveryValueImage(IMAGE_LENGTH);
  const std::filesystem::path file_ = folder_.Path("image.bin");
  const std::filesystem::path records_ = folder_.Path("records.jsonl");
};

// Two remote slots, one per protocol. Each board is flashed once and left alone while it stays
// (the station opens its port on every look); it leaves, each slot in its own way, and a new
// board in the same place is flashed once in turn. Four attempts make the batch.
TEST_F(StationOverSer2net, EachBoardIsFlashedOncePerPresence) {
  const auto link0 = folder_.Path("board-behind-rfc2217");
  const auto link1 = folder_.Path("board-behind-tcp");
  ServedDevice first0;
  ServedDevice first1;
  std::filesystem::create_symlink(first0.Path(), link0);
  std::filesystem::create_symlink(first1.Path(), link1);
  const auto server0 = Serve(link0, RemoteProtocol::Rfc2217);
  auto server1 = Serve(link1, RemoteProtocol::RawTcp);
  ASSERT_TRUE(server0 && server1);
  const std::string port0 = server0->PortName();
  const std::string port1 = server1->PortName();

  BackgroundIapflash station({"station", file_.string(), "--port", port0, "--port", port1, "--iap",
                              "--records", records_.string(), "--json", "--count", "4"});
  EventLog log(station);
  ASSERT_TRUE(log.Until("tallies", Ended(2))) << log.Text();
  // The boards stay for a second and a half, six looks: nothing arrives, nothing runs.
  EXPECT_EQ(station.ReadLine(1500), "");
  EXPECT_EQ(StartCommands(*first0.device), 1u);
  EXPECT_EQ(StartCommands(*first1.device), 1u);

  // The first board's server stays and can no longer open it; the second's server goes away.
  std::filesystem::remove(link0);
  const uint16_t tcpPort = server1->Port();
  server1->Kill();
  std::filesystem::remove(link1);
  ASSERT_TRUE(log.UntilCount("board_left", 2)) << log.Text();
  for (const json& left : log.Named("board_left")) EXPECT_EQ(left["during_run"], false);

  // New boards where the old ones were: behind the same link, behind a server on the same port.
  ServedDevice second0;
  ServedDevice second1;
  std::filesystem::create_symlink(second0.Path(), link0);
  std::filesystem::create_symlink(second1.Path(), link1);
  server1 = Serve(link1, RemoteProtocol::RawTcp, tcpPort);
  ASSERT_NE(server1, nullptr);
  ASSERT_TRUE(log.Until("summary")) << log.Text();
  EXPECT_EQ(station.ReadLine(10000), "");  // its end
  EXPECT_EQ(station.Stop(0), 0);           // it ended by itself: signal 0 only asks
  log.TakeRest(station.RestOfOut());
  EXPECT_EQ(SchemaComplaints(log.Text()), "");

  EXPECT_EQ(log.Named("summary").back()["exit_status"], 0);
  EXPECT_EQ(log.Named("board_arrived").size(), 4u) << log.Text();
  const json tallies = log.Named("tallies").back();
  EXPECT_EQ(tallies["passed"], 4);
  EXPECT_EQ(tallies["failed"], 0);
  for (const ServedDevice* board : {&first0, &first1, &second0, &second1}) {
    EXPECT_EQ(StartCommands(*board->device), 1u);
    EXPECT_TRUE(HoldsImage(*board->device, image_));
  }

  // One whole record per attempt, in the slot and port it was made in.
  const std::vector<json> records = Records(records_);
  ASSERT_EQ(records.size(), 4u);
  std::vector<std::string> ports;
  for (const json& record : records) {
    EXPECT_EQ(record["result"], "success") << record;
    EXPECT_EQ(record["image"]["path"], file_.string());
    EXPECT_EQ(record["image"]["length"], IMAGE_LENGTH);
    EXPECT_EQ(record["port"], record["slot"] == 0 ? port0 : port1) << record;
    ports.push_back(record["port"]);
  }
  EXPECT_EQ(std::count(ports.begin(), ports.end(), port0), 2);
  EXPECT_EQ(std::count(ports.begin(), ports.end(), port1), 2);
}

class RemoteSlot : public StationOverSer2net,
                   public ::testing::WithParamInterface<RemoteProtocol> {};

// The server accepts every connection while its device is absent, and closes it with its
// complaint: an empty slot, not a board whose run fails. Once the device is there it is flashed.
TEST_P(RemoteSlot, ServerWithoutItsDeviceIsAnEmptySlotUntilTheDeviceComes) {
  const auto link = folder_.Path("board");
  const auto server = Serve(link, GetParam());
  ASSERT_NE(server, nullptr);
  ASSERT_THAT(FirstWords(server->Port()), ::testing::HasSubstr("Device open failure"));

  BackgroundIapflash station({"station", file_.string(), "--port", server->PortName(), "--iap",
                              "--records", records_.string(), "--json", "--count", "1"});
  EventLog log(station);
  ASSERT_TRUE(log.Until("slot")) << log.Text();
  // Two seconds of looks, each one a connection the server takes: no arrival, no run.
  EXPECT_EQ(station.ReadLine(2000), "");
  EXPECT_TRUE(Records(records_).empty());

  ServedDevice board;
  std::filesystem::create_symlink(board.Path(), link);
  ASSERT_TRUE(log.Until("summary")) << log.Text();
  EXPECT_EQ(station.Stop(0), 0);
  log.TakeRest(station.RestOfOut());
  EXPECT_EQ(log.Named("board_arrived").size(), 1u) << log.Text();
  EXPECT_EQ(log.Named("result").back()["success"], true) << log.Text();
  EXPECT_EQ(StartCommands(*board.device), 1u);
  EXPECT_TRUE(HoldsImage(*board.device, image_));
  const std::vector<json> records = Records(records_);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records.front()["result"], "success");
}

// A board that goes in the middle of its download: its link goes away, then the device hangs up
// (its terminal gone). The run fails at once, the slot is freed and the next board there is
// flashed. The link goes first: a terminal's number is taken again by the next terminal opened
// anywhere on the machine, to which a link left behind would lead.
TEST_P(RemoteSlot, ABoardPulledMidRunFailsAndTheNextThereIsFlashed) {
  const auto link = folder_.Path("board");
  ServedDevice pulled(SimWireTiming{115200, 0, 0}, {"disconnect:3000"});
  std::filesystem::create_symlink(pulled.Path(), link);
  const auto server = Serve(link, GetParam());
  ASSERT_NE(server, nullptr);

  BackgroundIapflash station({"station", file_.string(), "--port", server->PortName(), "--iap",
                              "--records", records_.string(), "--json", "--count", "2"});
  std::thread unplug([&] {
    Eventually([&] { return pulled.device->BytesReceived() >= 1000; }, 30000);
    std::filesystem::remove(link);
  });
  EventLog log(station);
  const bool ended = log.Until("result");
  unplug.join();
  ASSERT_TRUE(ended) << log.Text();
  EXPECT_EQ(log.Named("result").back()["success"], false);
  ASSERT_TRUE(log.Until("board_left")) << log.Text();
  EXPECT_EQ(log.Named("board_left").back()["during_run"], true);

  ServedDevice next;
  std::filesystem::create_symlink(next.Path(), link);
  ASSERT_TRUE(log.Until("summary")) << log.Text();
  EXPECT_EQ(station.Stop(0), 1);  // one of the two runs failed
  EXPECT_EQ(StartCommands(*pulled.device), 1u);
  EXPECT_EQ(StartCommands(*next.device), 1u);
  EXPECT_TRUE(HoldsImage(*next.device, image_));
  const std::vector<json> records = Records(records_);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["result"], "failure");
  EXPECT_EQ(records[0]["failed_step_name"], "program");
  EXPECT_EQ(records[0]["board"], 1);
  EXPECT_EQ(records[1]["result"], "success");
  EXPECT_EQ(records[1]["board"], 2);
}

// An application behind the server: its run switches it into its boot program, which comes
// back behind the same address while the run goes on. That is the same board: it stays, and it
// is neither taken for a new one nor flashed again.
TEST_P(RemoteSlot, AnApplicationIsSwitchedAndFlashedOnce) {
  ServedDevice boot;
  const auto link = folder_.Path("usb-0:1.2:1.0-port0");
  ApplicationOnPty application(link, boot.Path(), 400);
  const auto server = Serve(link, GetParam());
  ASSERT_NE(server, nullptr);

  BackgroundIapflash station({"station", file_.string(), "--port", server->PortName(), "--records",
                              records_.string(), "--json"});
  EventLog log(station);
  ASSERT_TRUE(log.Until("tallies", Ended(1))) << log.Text();
  // The boot program stays for two and a half seconds, past the time a board takes to count as
  // gone: nothing leaves, nothing arrives.
  EXPECT_EQ(station.ReadLine(2500), "");
  EXPECT_EQ(station.Stop(SIGINT), 130);
  log.TakeRest(station.RestOfOut());

  EXPECT_EQ(log.Named("result").size(), 1u) << log.Text();
  EXPECT_EQ(log.Named("result").back()["success"], true) << log.Text();
  EXPECT_EQ(log.Named("board_arrived").size(), 1u) << log.Text();
  EXPECT_TRUE(log.Named("board_left").empty()) << log.Text();
  EXPECT_EQ(application.Requests(), 1u);
  EXPECT_EQ(StartCommands(*boot.device), 1u);
  EXPECT_TRUE(HoldsImage(*boot.device, image_));
  const std::vector<json> records = Records(records_);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records.front()["result"], "success");
}

INSTANTIATE_TEST_SUITE_P(Ser2net, RemoteSlot,
                         ::testing::Values(RemoteProtocol::Rfc2217, RemoteProtocol::RawTcp),
                         [](const ::testing::TestParamInfo<RemoteProtocol>& param) {
                           return std::string(param.param == RemoteProtocol::Rfc2217 ? "Rfc2217"
                                                                                     : "RawTcp");
                         });

}  // namespace
}  // namespace testing::station_ser2net
}  // namespace iapflash
