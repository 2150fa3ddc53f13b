// The Linux hotplug path over a umockdev testbed: the real udev monitor, woken by the testbed's
// uevents, and a station that scans the real udev tree on each wake and flashes each board over
// the pseudo-terminal that stands in for its tty. Waits are bounded and on real events.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/run_events.h"
#include "platform/clock.h"
#include "platform/hotplug.h"
#include "platform/posix/udev_device_tree.h"
#include "platform/posix/wake_pipe.h"
#include "platform/serial_port.h"
#include "sim/pty_server_posix.h"
#include "sim/sim_app_device.h"
#include "sim/sim_device.h"
#include "sim/sim_fault.h"
#include "station/board_watch.h"
#include "station/station_run.h"

namespace iapflash {
namespace {

const std::string kDevicesDir = UDEV_DEVICES_DIR;
const std::string kDemo = std::string(SAMPLES_DIR) + "/demo_app.bin";
const std::string kHubPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
// The hub's second socket, where every board of these tests is plugged in.
const std::string kSocket = kHubPath + "/1-1.2";
const std::string kLocation = "1-1.2";

// The bound on every wait for something that must happen: far beyond its usual milliseconds.
constexpr uint32_t kDeadlineMs = 10000;

// A umockdev testbed; libudev in this process sees it in place of the machine's /sys.
class Testbed {
 public:
  Testbed() : testbed_(umockdev_testbed_new()) {
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    root_ = root;
    g_free(root);
  }
  ~Testbed() { g_object_unref(testbed_); }
  Testbed(const Testbed&) = delete;
  Testbed& operator=(const Testbed&) = delete;

  // Adds the devices of a file under tests/udev/devices; umockdev sends an "add" for each.
  void Load(const std::string& name) {
    GError* error = nullptr;
    const bool loaded =
        umockdev_testbed_add_from_file(testbed_, (kDevicesDir + "/" + name).c_str(), &error);
    const std::string why = error != nullptr ? error->message : "";
    g_clear_error(&error);
    ASSERT_TRUE(loaded) << name << ": " << why;
  }

  void Add(const std::string& description) {
    GError* error = nullptr;
    const bool added = umockdev_testbed_add_from_string(testbed_, description.c_str(), &error);
    const std::string why = error != nullptr ? error->message : "";
    g_clear_error(&error);
    ASSERT_TRUE(added) << why;
  }

  void Uevent(const std::string& syspath, const char* action) {
    umockdev_testbed_uevent(testbed_, syspath.c_str(), action);
  }

  // Pulls a board out of a socket: the kernel's "remove" for each node, children first, and the
  // nodes gone. umockdev sends a uevent only for a node that is still there.
  void Pull(const std::string& socket, const std::vector<std::string>& children) {
    for (const std::string& child : children) Uevent(socket + child, "remove");
    Uevent(socket, "remove");
    for (const std::string& child : children) {
      umockdev_testbed_remove_device(testbed_, (socket + child).c_str());
    }
    umockdev_testbed_remove_device(testbed_, socket.c_str());
  }

  // The pseudo-terminal's master side umockdev gives the device node's tty.
  int Master(const std::string& node) {
    return umockdev_testbed_get_dev_fd(testbed_, ("/dev/" + node).c_str());
  }

  // What the testbed's device node links to (umockdev makes a tty's node a link to a pty).
  std::filesystem::path NodeLink(const std::string& node) { return root_ / "dev" / node; }

  // Points the device node at another terminal: the tty the board brings is served there.
  void Repoint(const std::string& node, const std::string& terminal) {
    const std::filesystem::path link = NodeLink(node);
    ASSERT_TRUE(std::filesystem::is_symlink(link)) << link << " is no link to a terminal";
    std::filesystem::remove(link);
    std::filesystem::create_symlink(terminal, link);
  }

 private:
  UMockdevTestbed* testbed_;
  std::filesystem::path root_;
};

// The machine's own serial ports, a tty name taken as the testbed's node of that name and opened
// through the node's link in the testbed's folder: opened as /dev/NAME, a terminal's ioctls would
// go to umockdev's preload, which refuses TIOCEXCL (ENOTTY). An open waits while the test changes
// the testbed: a board is plugged in with its tty's link made before a run can open it.
class TestbedPorts final : public SerialPorts {
 public:
  TestbedPorts(Testbed& testbed, std::mutex& changing) : testbed_(testbed), changing_(changing) {}
  std::unique_ptr<SerialPort> Open(const std::string& name, SystemError& error) override {
    const std::string node = name.starts_with("/dev/") ? name.substr(5) : name;
    std::lock_guard hold(changing_);
    return LocalSerialPorts().Open(testbed_.NodeLink(node).string(), error);
  }

 private:
  Testbed& testbed_;
  std::mutex& changing_;
};

// The board nodes of the fixtures, below their USB device, children first.
const std::vector<std::string> kAppNodes = {"/1-1.2:1.0/tty/ttyACM1",
                                            "/1-1.2:1.2/tty/ttyACM0",
                                            "/1-1.2:1.0",
                                            "/1-1.2:1.1",
                                            "/1-1.2:1.2",
                                            "/1-1.2:1.3"};
std::vector<std::string> BootNodes(int acm) {
  return {"/1-1.2:1.0/tty/ttyACM" + std::to_string(acm), "/1-1.2:1.0", "/1-1.2:1.1"};
}

std::size_t StartCommands(const SimDevice& device) {
  const std::vector<SimCommandRecord> commands = device.Commands();
  return static_cast<std::size_t>(std::count_if(
      commands.begin(), commands.end(),
      [](const SimCommandRecord& command) { return command.code == SIM_CODE_START; }));
}

class UdevHotplugWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(umockdev_in_mock_environment())
        << "run this suite under umockdev-wrapper (ctest does), or libudev sees the real /sys";
    testbed_.Load("hotplug_hub.umockdev");
    testbed_.Load("hotplug_app_at_1-1.2.umockdev");
    // Devices of other subsystems, on the same machine.
    testbed_.Add(
        "P: /devices/platform/i8042/serio0/input/input3/event3\n"
        "N: input/event3\nE: SUBSYSTEM=input\nE: ID_INPUT_KEYBOARD=1\n\n"
        "P: /devices/pci0000:00/0000:00:1f.6/net/eth0\nE: SUBSYSTEM=net\nE: INTERFACE=eth0\n\n"
        "P: /devices/virtual/block/loop0\nN: loop0\nE: SUBSYSTEM=block\nE: DEVTYPE=disk\n");
    // Made after the devices were there: their own "add"s came before it listened.
    watch_ = SystemHotplugWatch();
    ASSERT_NE(watch_, nullptr) << "no udev monitor";
  }

  Testbed testbed_;
  std::unique_ptr<HotplugWatch> watch_;
};

TEST_F(UdevHotplugWatchTest, WakesOnTheBoardsTtysAndUsbDeviceOnlyAndLeavesNothingQueued) {
  struct Case {
    const char* what;
    std::string syspath;
    const char* action;
    bool wakes;
  };
  const std::vector<Case> cases = {
      {"the board's tty leaves", kSocket + "/1-1.2:1.0/tty/ttyACM1", "remove", true},
      {"the board's USB device leaves", kSocket, "remove", true},
      {"the board's USB device arrives", kSocket, "add", true},
      {"the board's tty arrives", kSocket + "/1-1.2:1.0/tty/ttyACM1", "add", true},
      {"the board's tty changes", kSocket + "/1-1.2:1.2/tty/ttyACM0", "change", true},
      {"one of the board's USB interfaces", kSocket + "/1-1.2:1.1", "remove", false},
      {"the hub's interface", kHubPath + "/1-1:1.0", "add", false},
      {"the host controller", "/sys/devices/pci0000:00/0000:00:14.0", "change", false},
      {"a keyboard", "/sys/devices/platform/i8042/serio0/input/input3/event3", "add", false},
      {"a network interface", "/sys/devices/pci0000:00/0000:00:1f.6/net/eth0", "remove", false},
      {"a block device", "/sys/devices/virtual/block/loop0", "change", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testbed_.Uevent(c.syspath, c.action);
    // umockdev has sent the event when Uevent returns: a wait that takes none sees it or not.
    EXPECT_EQ(watch_->Wait(c.wakes ? kDeadlineMs : 0), c.wakes);
    EXPECT_FALSE(watch_->Wait(0)) << "an event was left for the next wait";
  }
  // Among other subsystems' events, the board's still wakes it.
  testbed_.Uevent("/sys/devices/platform/i8042/serio0/input/input3/event3", "change");
  testbed_.Uevent(kSocket + "/1-1.2:1.0/tty/ttyACM1", "remove");
  testbed_.Uevent("/sys/devices/virtual/block/loop0", "change");
  EXPECT_TRUE(watch_->Wait(kDeadlineMs));
  EXPECT_FALSE(watch_->Wait(0));
}

// A board plugged in brings its USB device, interfaces and ttys, an event each: one wake takes
// them all, so the station rescans once for it; its pull likewise.
TEST_F(UdevHotplugWatchTest, APluggedOrPulledBoardIsOneWake) {
  testbed_.Pull(kSocket, kAppNodes);
  EXPECT_TRUE(watch_->Wait(kDeadlineMs)) << "the pull";
  EXPECT_FALSE(watch_->Wait(0));
  testbed_.Load("boot_at_1-1.2.umockdev");
  EXPECT_TRUE(watch_->Wait(kDeadlineMs)) << "the boot program plugged in";
  EXPECT_FALSE(watch_->Wait(0));
}

// ---------------------------------------------------------------------------------------------
// A station over the testbed.

// Stands between the station and the real monitor and scan. It logs each look, and holds a
// look back while the test changes the testbed (a look never sees half a board). An armed wait
// (the test is about to plug or pull a board) is given kDeadlineMs in place of the station's
// interval: the station then looks again only when the monitor wakes it, or after the deadline.
class Probe final : public HotplugWatch, public BoardWatch {
 public:
  // changing: held while the test changes the testbed.
  Probe(std::unique_ptr<HotplugWatch> monitor, DeviceTree& tree, std::mutex& changing)
      : monitor_(std::move(monitor)), scan_(tree), testbedChange_(changing) {}

  bool Wait(uint32_t ms) override {
    bool armed = false;
    {
      std::lock_guard lock(mutex_);
      armed = armed_;
      inArmedWait_ = armed;
    }
    changed_.notify_all();
    const bool woke = monitor_->Wait(armed ? kDeadlineMs : ms);
    {
      std::lock_guard lock(mutex_);
      if (armed) {
        armed_ = false;
        inArmedWait_ = false;
        armedWoke_ = woke;
        ++armedWaits_;
      }
    }
    changed_.notify_all();
    return woke;
  }

  std::vector<BoardSighting> Look(const std::function<bool(const std::string&)>& inUse) override {
    std::lock_guard hold(testbedChange_);
    std::vector<BoardSighting> boards = scan_.Look(inUse);
    {
      std::lock_guard lock(mutex_);
      looks_.push_back(boards);
    }
    changed_.notify_all();
    return boards;
  }

  // What the station's look after the change saw, and whether the monitor woke it for it.
  struct Seen {
    bool woke = false;
    std::vector<BoardSighting> look;
  };

  // Makes change while the station waits on the monitor, then waits for its next look.
  Seen Change(const std::function<void()>& change) {
    std::unique_lock lock(mutex_);
    armed_ = true;
    const uint64_t armedBefore = armedWaits_;
    EXPECT_TRUE(Until(lock, [&] { return inArmedWait_; })) << "the station never waited";
    const std::size_t looksBefore = looks_.size();
    lock.unlock();
    {
      std::lock_guard hold(testbedChange_);
      change();
    }
    lock.lock();
    Seen seen;
    EXPECT_TRUE(Until(lock, [&] { return armedWaits_ > armedBefore; }));
    seen.woke = armedWoke_;
    EXPECT_TRUE(Until(lock, [&] { return looks_.size() > looksBefore; }));
    if (looks_.size() > looksBefore) seen.look = looks_[looksBefore];
    return seen;
  }

  // Makes change between two looks of the station's.
  void ChangeBetweenLooks(const std::function<void()>& change) {
    std::lock_guard hold(testbedChange_);
    change();
  }

  std::size_t Looks() {
    std::lock_guard lock(mutex_);
    return looks_.size();
  }
  std::vector<std::vector<BoardSighting>> AllLooks() {
    std::lock_guard lock(mutex_);
    return looks_;
  }

  // Waits for the station to look n more times; false past the deadline.
  bool MoreLooks(std::size_t n) {
    std::unique_lock lock(mutex_);
    const std::size_t target = looks_.size() + n;
    return Until(lock, [&] { return looks_.size() >= target; });
  }

  // Waits for a look that satisfies seen; false past the deadline.
  bool LookWhere(const std::function<bool(const std::vector<BoardSighting>&)>& seen) {
    std::unique_lock lock(mutex_);
    const std::size_t from = looks_.size();
    return Until(lock, [&] {
      return std::any_of(looks_.begin() + static_cast<std::ptrdiff_t>(from), looks_.end(), seen);
    });
  }

 private:
  bool Until(std::unique_lock<std::mutex>& lock, const std::function<bool()>& done) {
    // Twice the deadline: an armed wait of a broken monitor ends by its own first.
    return changed_.wait_for(lock, std::chrono::milliseconds(2 * kDeadlineMs), done);
  }

  std::unique_ptr<HotplugWatch> monitor_;
  DeviceBoardWatch scan_;
  std::mutex& testbedChange_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool armed_ = false;
  bool inArmedWait_ = false;
  bool armedWoke_ = false;
  uint64_t armedWaits_ = 0;
  std::vector<std::vector<BoardSighting>> looks_;
};

// What the station told, as short texts, to be waited for.
class Told final : public StationReport {
 public:
  void OnLine(std::size_t position, std::string_view line) override {
    std::lock_guard lock(mutex_);
    lines_ += std::to_string(position) + ": " + std::string(line) + "\n";
  }
  void OnEvent(std::size_t, const RunEvent& event) override {
    if (onEvent) onEvent(event);
  }
  void OnDone(std::size_t position, const DeviceOutcome& outcome) override {
    Say("done" + std::to_string(position) + (outcome.finished.success ? "+" : "-"));
  }
  void OnSlot(const Slot& slot) override {
    Say("slot" + std::to_string(slot.position) + " " + slot.location);
  }
  void OnArrived(const Slot& slot, bool) override {
    Say("arrived" + std::to_string(slot.position) + "#" + std::to_string(slot.board) + " " +
        slot.sighting.port);
  }
  void OnLeft(const Slot& slot, uint64_t board, bool duringRun) override {
    Say("left" + std::to_string(slot.position) + "#" + std::to_string(board) +
        (duringRun ? " during its run" : ""));
  }
  void OnTallies(const Tallies&) override {}
  void OnRecordFailed(SystemError) override { Say("record failed"); }

  // Called with each event of a run, on the run's thread, before the run goes on.
  std::function<void(const RunEvent&)> onEvent;

  // Waits until the station has said text count times; false past the deadline.
  bool Said(const std::string& text, std::size_t count = 1) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(kDeadlineMs), [&] {
      return static_cast<std::size_t>(std::count(said_.begin(), said_.end(), text)) >= count;
    });
  }
  std::vector<std::string> All() {
    std::lock_guard lock(mutex_);
    return said_;
  }
  // The runs' log lines, for a failure's message.
  std::string Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  void Say(std::string text) {
    {
      std::lock_guard lock(mutex_);
      said_.push_back(std::move(text));
    }
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> said_;
  std::string lines_;
};

// The application firmware on the pseudo-terminal umockdev made for its first tty: it answers
// the mode request and then restarts, which restart does to the testbed (off the test's thread,
// as a board restarts by itself).
class ApplicationOnTty {
 public:
  ApplicationOnTty(int master, const std::filesystem::path& node, std::function<void()> restart)
      : master_(master), restart_(std::move(restart)) {
    // The slave side held open, so the master never sees a hang-up between the host's opens.
    slave_ = ::open(std::filesystem::read_symlink(node).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(slave_, 0) << node;
    SystemError error = 0;
    EXPECT_TRUE(stop_.Open(error)) << error;
    thread_ = std::thread([this] { Serve(); });
  }
  ~ApplicationOnTty() {
    stop_.Wake();
    thread_.join();
    if (slave_ >= 0) ::close(slave_);
  }
  ApplicationOnTty(const ApplicationOnTty&) = delete;
  ApplicationOnTty& operator=(const ApplicationOnTty&) = delete;

  uint32_t Requests() const { return app_.Requests(); }

 private:
  void Serve() {
    for (;;) {
      pollfd watched[2] = {{master_, POLLIN, 0}, {stop_.ReadEnd(), POLLIN, 0}};
      if (::poll(watched, 2, -1) < 0 || watched[1].revents != 0) return;
      uint8_t bytes[256];
      const ssize_t got = ::read(master_, bytes, sizeof bytes);
      if (got <= 0) continue;
      app_.Receive(bytes, static_cast<uint32_t>(got), SystemClock().NowMs());
      uint8_t reply[256];
      const uint32_t size = app_.Take(reply, sizeof reply);
      if (size > 0 && ::write(master_, reply, size) != static_cast<ssize_t>(size)) return;
      if (app_.LeavesAt()) {
        restart_();
        return;
      }
    }
  }

  SimAppDevice app_{SimAppBehaviour::Switches, 0};
  int master_;
  int slave_ = -1;
  std::function<void()> restart_;
  WakePipe stop_;
  std::thread thread_;
};

std::unique_ptr<PtyServer> Serve(const std::shared_ptr<SimDevice>& device) {
  SystemError error = 0;
  std::unique_ptr<PtyServer> server = PtyServer::Start(device, error);
  EXPECT_NE(server, nullptr) << error;
  return server;
}

bool Holds(const std::vector<BoardSighting>& look, const std::string& key, const std::string& port,
           bool iap) {
  return std::any_of(look.begin(), look.end(), [&](const BoardSighting& board) {
    return board.key == key && board.port == port && board.iap == iap;
  });
}

bool Empty(const std::vector<BoardSighting>& look) {
  return look.empty();
}

class UdevHotplugStationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(umockdev_in_mock_environment()) << "run this suite under umockdev-wrapper";
    testbed_.Load("hotplug_hub.umockdev");
    tree_ = MakeUdevDeviceTree();
    ASSERT_NE(tree_, nullptr);
    std::unique_ptr<HotplugWatch> monitor = SystemHotplugWatch();
    ASSERT_NE(monitor, nullptr) << "no udev monitor";
    probe_ = std::make_unique<Probe>(std::move(monitor), *tree_, changing_);
    setup_ = std::make_unique<StationSetup>(
        StationSetup{{ports_, *tree_, SystemClock()}, kDemo, {kDemo, 2048, 0x407C5}, {}, {}, {}});
    station_ = std::make_unique<StationRun>(
        *setup_, *probe_, *probe_, told_, nullptr, [this] { return stop_.load(); },
        [] { return std::chrono::system_clock::now(); });
    thread_ = std::thread([this] { tallies_ = station_->Run(); });
  }

  void TearDown() override { Stop(); }

  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  // Plugs the boot program into the socket, its tty served by device.
  // Plugs the boot program into the socket as ttyACM<acm>, its tty served by device. A testbed
  // never makes a tty node twice, so a board plugged in again comes under another name.
  void PlugBootProgram(const PtyServer& device, int acm) {
    std::ifstream file(kDevicesDir + "/boot_at_1-1.2.umockdev");
    std::stringstream text;
    text << file.rdbuf();
    std::string nodes = text.str();
    const auto replace = [&nodes](const std::string& from, const std::string& to) {
      for (std::size_t at = 0; (at = nodes.find(from, at)) != std::string::npos; at += to.size()) {
        nodes.replace(at, from.size(), to);
      }
    };
    const std::string minor = std::to_string(acm);
    replace("ttyACM4", "ttyACM" + minor);
    replace("MINOR=4\n", "MINOR=" + minor + "\n");
    replace("dev=166:4", "dev=166:" + minor);
    testbed_.Add(nodes);
    testbed_.Repoint("ttyACM" + minor, device.Path());
  }

  Testbed testbed_;
  std::mutex changing_;  // held while the testbed changes
  TestbedPorts ports_{testbed_, changing_};
  std::unique_ptr<DeviceTree> tree_;
  std::unique_ptr<Probe> probe_;
  std::unique_ptr<StationSetup> setup_;
  Told told_;
  std::atomic<bool> stop_{false};
  std::unique_ptr<StationRun> station_;
  Tallies tallies_;
  std::thread thread_;
};

TEST_F(UdevHotplugStationTest, ABoardIsFlashedOncePerInsertionAndAgainWhenPluggedBackIn) {
  auto first = std::make_shared<SimDevice>();
  auto second = std::make_shared<SimDevice>();
  const std::unique_ptr<PtyServer> firstTty = Serve(first);
  const std::unique_ptr<PtyServer> secondTty = Serve(second);
  ASSERT_TRUE(firstTty && secondTty);

  Probe::Seen plugged = probe_->Change([&] { PlugBootProgram(*firstTty, 4); });
  EXPECT_TRUE(plugged.woke) << "the monitor did not tell of the board's arrival";
  EXPECT_TRUE(Holds(plugged.look, kLocation, "ttyACM4", true)) << "the rescan missed the board";
  ASSERT_TRUE(told_.Said("done0+")) << told_.Lines();
  // It stays plugged in while the station looks on: no second run.
  ASSERT_TRUE(probe_->MoreLooks(4));
  EXPECT_EQ(StartCommands(*first), 1u);

  Probe::Seen pulled = probe_->Change([&] { testbed_.Pull(kSocket, BootNodes(4)); });
  EXPECT_TRUE(pulled.woke) << "the monitor did not tell of the board's leaving";
  EXPECT_TRUE(Empty(pulled.look)) << "the rescan still saw the board";
  ASSERT_TRUE(told_.Said("left0#1"));

  plugged = probe_->Change([&] { PlugBootProgram(*secondTty, 5); });
  EXPECT_TRUE(plugged.woke) << "the monitor did not tell of the board's return";
  EXPECT_TRUE(Holds(plugged.look, kLocation, "ttyACM5", true));
  ASSERT_TRUE(told_.Said("done0+", 2)) << told_.Lines();
  ASSERT_TRUE(probe_->MoreLooks(4));
  Stop();

  EXPECT_EQ(StartCommands(*first), 1u);
  EXPECT_EQ(StartCommands(*second), 1u);
  const std::vector<std::string> expected = {"slot0 1-1.2", "arrived0#1 ttyACM4", "done0+",
                                             "left0#1",     "arrived0#2 ttyACM5", "done0+"};
  EXPECT_EQ(told_.All(), expected);
  EXPECT_EQ(tallies_.passed, 2u);
  EXPECT_EQ(tallies_.inProgress, 0u);
}

// The application is asked into its boot program: it leaves the socket (its USB device and ttys
// removed) and the boot program arrives there under another tty. The station sees the board
// leave and come back at the same place while its run goes on: one slot, one board, one run.
TEST_F(UdevHotplugStationTest, AnApplicationThatSwitchesIsTheSameBoardInTheSameSlot) {
  auto boot = std::make_shared<SimDevice>();
  const std::unique_ptr<PtyServer> bootTty = Serve(boot);
  ASSERT_TRUE(bootTty);
  std::atomic<bool> goneSeen{false};
  const auto restart = [&] {
    probe_->ChangeBetweenLooks([&] { testbed_.Pull(kSocket, kAppNodes); });
    // Away for at least one look of the station's, as a restarting board is.
    goneSeen = probe_->LookWhere(Empty);
    probe_->ChangeBetweenLooks([&] { PlugBootProgram(*bootTty, 4); });
  };

  std::unique_ptr<ApplicationOnTty> app;
  const Probe::Seen plugged = probe_->Change([&] {
    testbed_.Load("hotplug_app_at_1-1.2.umockdev");
    app = std::make_unique<ApplicationOnTty>(testbed_.Master("ttyACM1"),
                                             testbed_.NodeLink("ttyACM1"), restart);
  });
  EXPECT_TRUE(plugged.woke);
  EXPECT_TRUE(Holds(plugged.look, kLocation, "ttyACM1", false));
  ASSERT_TRUE(told_.Said("done0+")) << told_.Lines();
  EXPECT_TRUE(goneSeen) << "no look of the station's fell between the application and the boot "
                           "program";
  ASSERT_TRUE(probe_->LookWhere([](const std::vector<BoardSighting>& look) {
    return Holds(look, kLocation, "ttyACM4", true);
  }));
  ASSERT_TRUE(probe_->MoreLooks(4));
  Stop();

  EXPECT_EQ(app->Requests(), 1u);
  EXPECT_EQ(StartCommands(*boot), 1u);
  const std::vector<std::string> expected = {"slot0 1-1.2", "arrived0#1 ttyACM1", "done0+"};
  EXPECT_EQ(told_.All(), expected);
  EXPECT_EQ(tallies_.passed, 1u);
}

// The board is pulled out while its image goes down: the device vanishes and its nodes with it.
// Its run fails by itself, the slot tells that the board left during its run and then takes
// the next board plugged in there.
TEST_F(UdevHotplugStationTest, ABoardPulledDuringItsDownloadFailsItsRunAndFreesTheSlot) {
  auto pulled = std::make_shared<SimDevice>();
  auto next = std::make_shared<SimDevice>();
  const std::unique_ptr<PtyServer> pulledTty = Serve(pulled);
  const std::unique_ptr<PtyServer> nextTty = Serve(next);
  ASSERT_TRUE(pulledTty && nextTty);
  bool pulledOut = false;  // the run's thread only
  told_.onEvent = [&](const RunEvent& event) {
    const auto* progress = std::get_if<PassProgress>(&event);
    if (pulledOut || progress == nullptr || progress->pass != ImagePass::Program ||
        progress->done < 1024) {
      return;
    }
    pulledOut = true;
    // Before the run goes on: it finds the terminal hung up and the board gone from the bus.
    pulled->Disconnect();
    probe_->ChangeBetweenLooks([&] { testbed_.Pull(kSocket, BootNodes(4)); });
  };

  Probe::Seen plugged = probe_->Change([&] { PlugBootProgram(*pulledTty, 4); });
  EXPECT_TRUE(plugged.woke);
  ASSERT_TRUE(told_.Said("done0-")) << told_.Lines();
  ASSERT_TRUE(told_.Said("left0#1 during its run"));

  plugged = probe_->Change([&] { PlugBootProgram(*nextTty, 5); });
  EXPECT_TRUE(plugged.woke);
  ASSERT_TRUE(told_.Said("done0+")) << told_.Lines();
  ASSERT_TRUE(probe_->MoreLooks(4));
  Stop();

  EXPECT_TRUE(pulledOut) << "the download never got half way";
  EXPECT_EQ(StartCommands(*pulled), 1u);
  EXPECT_EQ(StartCommands(*next), 1u);
  const std::vector<std::string> expected = {
      "slot0 1-1.2", "arrived0#1 ttyACM4", "done0-", "left0#1 during its run", "arrived0#2 ttyACM5",
      "done0+"};
  EXPECT_EQ(told_.All(), expected);
  EXPECT_EQ(tallies_.passed, 1u);
  EXPECT_EQ(tallies_.failed, 1u);
}

}  // namespace
}  // namespace iapflash
