// The termios backend of SerialPort, driven through a pseudo-terminal: the test holds the master
// side and plays the device; the backend opens the slave by its path.
#include "platform/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace iapflash {
namespace {

using Steady = std::chrono::steady_clock;

int64_t MsSince(Steady::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start).count();
}

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[128] = {};
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    path_ = name;
    termios raw{};
    ASSERT_EQ(tcgetattr(master_, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(master_, TCSANOW, &raw), 0);
  }
  void TearDown() override {
    port_.reset();
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }

  SerialPort& OpenPort() {
    SystemError error = 0;
    port_ = SystemSerialPorts().Open(path_, error);
    EXPECT_NE(port_, nullptr) << "error " << error;
    if (!port_) throw std::runtime_error("open failed");
    return *port_;
  }

  void DeviceSends(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Reads from the device side until n bytes came or a second passed.
  std::vector<uint8_t> DeviceReceives(std::size_t n) {
    std::vector<uint8_t> got;
    const auto start = Steady::now();
    while (got.size() < n && MsSince(start) < 1000) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      uint8_t chunk[4096];
      const ssize_t k = read(master_, chunk, std::min(sizeof chunk, n - got.size()));
      if (k <= 0) break;
      got.insert(got.end(), chunk, chunk + k);
    }
    return got;
  }

  // The pty moves written bytes to the slave's queue asynchronously: wait until they are there.
  uint32_t QueuedWhenSettled(SerialPort& port, uint32_t expected) {
    uint32_t queued = 0;
    const auto start = Steady::now();
    while (MsSince(start) < 1000) {
      EXPECT_TRUE(port.QueuedInput(queued));
      if (queued >= expected) break;
    }
    return queued;
  }

  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::unique_ptr<SerialPort> port_;
};

std::vector<uint8_t> EveryByteValue(int repeats) {
  std::vector<uint8_t> bytes;
  for (int r = 0; r < repeats; ++r) {
    for (int v = 0; v < 256; ++v) bytes.push_back(static_cast<uint8_t>(v));
  }
  return bytes;
}

TEST_F(SerialPortTest, EveryByteValuePassesUnchangedBothWays) {
  SerialPort& port = OpenPort();
  port.SetTimeouts({0, 10, 1000, 10, 1000});
  // Several kilobytes, so that reads and writes both need more than one system call.
  const std::vector<uint8_t> bytes = EveryByteValue(16);

  IoResult sent = port.Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
  ASSERT_TRUE(sent.ok);
  EXPECT_EQ(sent.count, bytes.size());
  EXPECT_EQ(DeviceReceives(bytes.size()), bytes);

  DeviceSends(bytes);
  std::vector<uint8_t> got(bytes.size());
  IoResult read = port.Read(got.data(), static_cast<uint32_t>(got.size()));
  ASSERT_TRUE(read.ok);
  EXPECT_EQ(read.count, bytes.size());
  EXPECT_EQ(got, bytes);
}

TEST_F(SerialPortTest, OpensRaw8N1At115200AndKeepsLineSettings) {
  SerialPort& port = OpenPort();
  LineSettings settings;
  ASSERT_TRUE(port.GetLineSettings(settings));
  EXPECT_EQ(settings.baudRate, 115200u);
  EXPECT_EQ(settings.byteSize, 8);
  EXPECT_EQ(settings.parity, NO_PARITY);
  EXPECT_EQ(settings.stopBits, ONE_STOP_BIT);

  termios tio{};
  ASSERT_EQ(tcgetattr(slave_, &tio), 0);
  EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), CLOCAL | CREAD);
  EXPECT_EQ(tio.c_cc[VMIN], 0);
  EXPECT_EQ(tio.c_cc[VTIME], 0);

  // A pty keeps the speed and the stop bits but forces 8 bits without parity, so those two
  // cannot be shown to round-trip here.
  const LineSettings changed{9600, 8, NO_PARITY, 2 /* two stop bits */};
  ASSERT_TRUE(port.SetLineSettings(changed));
  ASSERT_TRUE(port.GetLineSettings(settings));
  EXPECT_EQ(settings.baudRate, 9600u);
  EXPECT_EQ(settings.stopBits, 2);
  ASSERT_EQ(tcgetattr(slave_, &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));

  // Settings termios cannot express are refused and change nothing.
  for (const LineSettings bad : {LineSettings{12345, 8, 0, 0}, LineSettings{9600, 9, 0, 0},
                                 LineSettings{9600, 8, 7, 0}, LineSettings{9600, 8, 0, 1}}) {
    EXPECT_FALSE(port.SetLineSettings(bad)) << bad.baudRate << " " << int(bad.byteSize);
  }
  ASSERT_TRUE(port.GetLineSettings(settings));
  EXPECT_EQ(settings.baudRate, 9600u);
}

TEST_F(SerialPortTest, ReadGivesUpAfterItsBudgetWithWhatArrived) {
  SerialPort& port = OpenPort();
  port.SetTimeouts({0, 5, 40, 0, 0});  // 6 bytes: 6 x 5 + 40 = 70 ms
  DeviceSends({0x57, 0xAB, 0x82});
  uint8_t reply[6] = {};
  const auto start = Steady::now();
  const IoResult read = port.Read(reply, 6);
  const int64_t waited = MsSince(start);
  EXPECT_TRUE(read.ok) << "a timeout is not a failure";
  EXPECT_EQ(read.count, 3u);
  EXPECT_EQ(reply[2], 0x82);
  EXPECT_GE(waited, 69);
  EXPECT_LT(waited, 2000);

  // Nothing at all: still a successful call, with no bytes.
  const IoResult silent = port.Read(reply, 6);
  EXPECT_TRUE(silent.ok);
  EXPECT_EQ(silent.count, 0u);
}

TEST_F(SerialPortTest, ReadReturnsAsSoonAsTheRequestIsComplete) {
  SerialPort& port = OpenPort();
  port.SetTimeouts({0, 1000, 5000, 0, 0});
  DeviceSends({1, 2, 3, 4, 5, 6, 7, 8});
  uint8_t reply[6] = {};
  const auto start = Steady::now();
  const IoResult read = port.Read(reply, 6);
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.count, 6u);
  EXPECT_LT(MsSince(start), 5000) << "waited for the budget although all bytes had come";
  uint32_t left = 0;
  EXPECT_EQ(QueuedWhenSettled(port, 2), 2u);
  EXPECT_TRUE(port.QueuedInput(left));
  EXPECT_EQ(left, 2u) << "bytes beyond the request stay queued";
}

TEST_F(SerialPortTest, IntervalLimitsEndReadsThatHaveNoTotalLimit) {
  SerialPort& port = OpenPort();
  uint8_t reply[6] = {};

  // "Return at once with what is there": interval MAXDWORD and no totals.
  port.SetTimeouts({0xFFFFFFFF, 0, 0, 0, 0});
  const auto start = Steady::now();
  IoResult read = port.Read(reply, 6);
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.count, 0u);
  EXPECT_LT(MsSince(start), 1000);

  // A gap of more than 20 ms after the first bytes ends a read that has no total limit.
  port.SetTimeouts({20, 0, 0, 0, 0});
  DeviceSends({0x57, 0xAB});
  read = port.Read(reply, 6);
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.count, 2u);
}

TEST_F(SerialPortTest, HangUpIsAFailureNotATimeout) {
  SerialPort& port = OpenPort();
  port.SetTimeouts({0, 1000, 5000, 50, 5000});
  close(master_);
  master_ = -1;
  uint8_t reply[6] = {};
  const auto start = Steady::now();
  const IoResult read = port.Read(reply, 6);
  EXPECT_FALSE(read.ok);
  EXPECT_TRUE(read.error == EIO || read.error == ENXIO) << read.error;
  EXPECT_LT(MsSince(start), 5000) << "waited out the budget of a dead port";

  const uint8_t frame[5] = {0x57, 0xAB, 0x06, 0x00, 0x06};
  const IoResult write = port.Write(frame, sizeof frame);
  EXPECT_FALSE(write.ok);
  EXPECT_NE(write.error, 0u);

  uint32_t queued = 0;
  EXPECT_FALSE(port.QueuedInput(queued));
}

TEST_F(SerialPortTest, PortIsExclusiveUntilClosed) {
  OpenPort();
  SystemError error = 0;
  EXPECT_EQ(SystemSerialPorts().Open(path_, error), nullptr);
  EXPECT_EQ(error, static_cast<SystemError>(EBUSY));

  port_.reset();
  auto again = SystemSerialPorts().Open(path_, error);
  EXPECT_NE(again, nullptr) << "closing must release the port";
}

TEST_F(SerialPortTest, NamesAndNonPortsFailWithTheSystemsCode) {
  SystemError error = 0;
  EXPECT_EQ(SystemSerialPorts().Open("ttyNoSuchPort99", error), nullptr);
  EXPECT_EQ(error, static_cast<SystemError>(ENOENT));
  // A bare name is looked up under /dev: "null" is found there, and is no terminal.
  error = 0;
  EXPECT_EQ(SystemSerialPorts().Open("null", error), nullptr);
  EXPECT_EQ(error, static_cast<SystemError>(ENOTTY));
  error = 0;
  EXPECT_EQ(SystemSerialPorts().Open("/dev/null", error), nullptr);
  EXPECT_EQ(error, static_cast<SystemError>(ENOTTY));
}

TEST_F(SerialPortTest, QueuedInputCountsAndPurgeEmpties) {
  SerialPort& port = OpenPort();
  port.SetTimeouts({0, 0, 20, 0, 0});
  uint32_t queued = 99;
  ASSERT_TRUE(port.QueuedInput(queued));
  EXPECT_EQ(queued, 0u);

  DeviceSends({0x57, 0xAB, 0x82, 0x00, 0x00, 0x00, 0xEE});
  EXPECT_EQ(QueuedWhenSettled(port, 7), 7u);

  ASSERT_TRUE(port.Purge());
  ASSERT_TRUE(port.QueuedInput(queued));
  EXPECT_EQ(queued, 0u);
  uint8_t reply[6] = {};
  const IoResult read = port.Read(reply, 6);
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.count, 0u) << "purged bytes came back";
}

bool Exclusive(int fd) {
  int exclusive = 0;
  EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
  return exclusive != 0;
}

void ExpectSameSettings(const termios& a, const termios& b) {
  EXPECT_EQ(a.c_iflag, b.c_iflag);
  EXPECT_EQ(a.c_oflag, b.c_oflag);
  EXPECT_EQ(a.c_cflag, b.c_cflag);
  EXPECT_EQ(a.c_lflag, b.c_lflag);
  EXPECT_EQ(cfgetispeed(&a), cfgetispeed(&b));
  EXPECT_EQ(cfgetospeed(&a), cfgetospeed(&b));
  EXPECT_EQ(0, std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc));
}

// A user's terminal must not stay raw, nor a tty exclusive, once the port is closed; a tty that
// someone else had made exclusive stays so.
TEST_F(SerialPortTest, ClosingGivesThePortBackAsItWasFound) {
  termios found{};
  ASSERT_EQ(tcgetattr(slave_, &found), 0);
  found.c_lflag |= ECHO | ICANON | ISIG;
  found.c_iflag |= ICRNL | IXON;
  found.c_oflag |= OPOST;
  cfsetispeed(&found, B9600);
  cfsetospeed(&found, B9600);
  ASSERT_EQ(tcsetattr(slave_, TCSANOW, &found), 0);
  ASSERT_EQ(tcgetattr(slave_, &found), 0);

  for (bool exclusiveBefore : {false, true}) {
    SCOPED_TRACE(exclusiveBefore ? "exclusive before" : "shared before");
    if (exclusiveBefore) {
      ASSERT_EQ(ioctl(slave_, TIOCEXCL), 0);
    }
    SerialPort& port = OpenPort();
    ASSERT_TRUE(port.SetLineSettings({57600, 7, 2, 2}));
    EXPECT_TRUE(Exclusive(slave_));
    port.Cancel();  // a cut-short run closes the same way
    port_.reset();

    termios after{};
    ASSERT_EQ(tcgetattr(slave_, &after), 0);
    ExpectSameSettings(after, found);
    EXPECT_EQ(Exclusive(slave_), exclusiveBefore);
  }
  ASSERT_EQ(ioctl(slave_, TIOCNXCL), 0);
}

// Cancel may come from any thread at any moment: a read that waits (here up to 8 s) or is about
// to, and every transfer after it, fail at once with the cancel's code.
TEST_F(SerialPortTest, CancelEndsAWaitingReadAndEveryLaterTransfer) {
  SerialPort& port = OpenPort();
  port.SetTimeouts({0, 1000, 2000, 50, 500});
  const auto start = Steady::now();
  std::thread canceller([&port] { port.Cancel(); });
  uint8_t reply[6] = {};
  const IoResult read = port.Read(reply, sizeof reply);
  canceller.join();
  EXPECT_FALSE(read.ok);
  EXPECT_EQ(read.error, CancelledError());
  EXPECT_LT(MsSince(start), 1000);

  const IoResult again = port.Read(reply, sizeof reply);
  EXPECT_FALSE(again.ok);
  EXPECT_EQ(again.error, CancelledError());
  const IoResult write = port.Write(reply, sizeof reply);
  EXPECT_FALSE(write.ok);
  EXPECT_EQ(write.error, CancelledError());
  EXPECT_TRUE(DeviceReceives(1).empty()) << "nothing went out after the cancel";
}

}  // namespace
}  // namespace iapflash
