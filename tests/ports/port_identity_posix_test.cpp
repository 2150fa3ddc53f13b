// Local ports on Linux are the device they open: links, "." and "..", doubled slashes and the
// short name's /dev all lead to one terminal; a relative path is relative, as opening takes it.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/port_identity.h"
#include "temp_folder.h"

namespace iapflash {
namespace {

namespace fs = std::filesystem;

// A pseudo-terminal pair whose device side is a port to compare.
class Terminal {
 public:
  Terminal() {
    char name[128] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) path_ = name;
  }
  ~Terminal() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;
  const std::string& Path() const { return path_; }  // /dev/pts/N

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

struct Pair {
  std::string a;
  std::string b;
  bool same;
};

TEST(LocalPortIdentity, NamesOfOneTerminalAreOneDeviceAndOthersAreNot) {
  Terminal one;
  Terminal other;
  ASSERT_FALSE(one.Path().empty());
  ASSERT_FALSE(other.Path().empty());
  const std::string pts = one.Path().substr(5);  // pts/N
  testing::TempFolder folder;
  fs::create_symlink(one.Path(), folder.Path("station-1"));
  fs::create_symlink(folder.Path("station-1"), folder.Path("link-to-link"));
  fs::create_symlink(other.Path(), folder.Path("station-2"));

  const Pair pairs[] = {
      {one.Path(), one.Path(), true},
      {one.Path(), "/dev/../dev/" + pts, true},
      {one.Path(), "//dev/" + pts, true},
      {one.Path(), "/dev/./" + pts, true},
      {one.Path(), folder.Path("station-1").string(), true},
      {folder.Path("link-to-link").string(), one.Path(), true},
      {one.Path(), other.Path(), false},
      {folder.Path("station-1").string(), folder.Path("station-2").string(), false},
      // Relative to the working folder (not /dev here), as opening takes it.
      {pts, one.Path(), false},
      // Nothing there: the letters decide, "." and ".." resolved, a bare name under /dev.
      {"/dev/no-such-port", "/dev/../dev//no-such-port", true},
      {"no-such-port", "/dev/no-such-port", true},
      {"/dev/no-such-port", "/dev/no-such-port-2", false},
      {"ttyNOPE0", "ttynope0", false},
  };
  for (const Pair& p : pairs) {
    EXPECT_EQ(SameLocalPortDevice(p.a, p.b), p.same) << p.a << " / " << p.b;
    EXPECT_EQ(SameLocalPortDevice(p.b, p.a), p.same) << p.b << " / " << p.a;
    EXPECT_EQ(SamePortDevice(p.a, p.b), p.same) << p.a << " / " << p.b;
  }

  // From /dev, pts/N opens the terminal itself, and so it is the same.
  const testing::WorkingFolder inDev("/dev");
  EXPECT_TRUE(SameLocalPortDevice(pts, one.Path()));
  EXPECT_FALSE(SameLocalPortDevice(pts, other.Path()));
}

TEST(LocalPortIdentity, OpeningTakesABareNameUnderDevAndAnyOtherAsItStands) {
  const std::pair<const char*, const char*> cases[] = {
      {"ttyACM0", "/dev/ttyACM0"},
      {"pts/3", "pts/3"},
      {"./ttyACM0", "./ttyACM0"},
      {"/dev/pts/3", "/dev/pts/3"},
      {"/dev/serial/by-path/pci-0:1.1:1.0", "/dev/serial/by-path/pci-0:1.1:1.0"},
  };
  for (const auto& [name, path] : cases) EXPECT_EQ(LocalPortPath(name), path) << name;
}

}  // namespace
}  // namespace iapflash
