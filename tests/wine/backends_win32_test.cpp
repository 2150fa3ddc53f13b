// The Win32 backends against the real Windows API (here: Wine's).
// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "discovery/serial_discovery.h"
#include "platform/device_tree.h"
#include "platform/file_reader.h"
#include "platform/serial_port.h"
#include "platform/system_error.h"
#include "platform/win32/wide_text.h"
#include "temp_folder.h"

namespace iapflash {
namespace {

namespace fs = std::filesystem;

DWORD HandleCount() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}

TEST(WideTextTest, RoundTripsChineseAndReplacesBrokenSequences) {
  const std::string text = "固件更新工具(R2/T2/T4)V110\r\n";
  EXPECT_EQ(Widen(text), L"固件更新工具(R2/T2/T4)V110\r\n");
  EXPECT_EQ(Narrow(Widen(text)), text);
  EXPECT_EQ(Widen(std::string("a\xE5\x9B", 3)), L"a\uFFFD");
  EXPECT_EQ(Widen(std::string("a\0b", 3)), std::wstring(L"a\0b", 3)) << "NULs of ID lists survive";
  EXPECT_TRUE(Widen("").empty());
  EXPECT_TRUE(Narrow(L"").empty());
}

TEST(SystemErrorTest, TextIsTheSystemsWithItsLineEnd) {
  const std::string text = SystemErrorText(ERROR_FILE_NOT_FOUND);
  ASSERT_GE(text.size(), 3u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(LastSystemError(), static_cast<SystemError>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(SystemErrorText(0xDEADBEEF), "") << "an unknown code has no text";
}

class FileReaderWin32Test : public ::testing::Test {
 protected:
  std::string Utf8(const fs::path& path) { return Narrow(path.wstring()); }
  // A folder of its own, with a name outside any code page: ctest runs the tests side by side.
  testing::TempFolder folder_{fs::path(L"iapflash-固件-")};
  const fs::path dir_ = folder_.Root();
};

TEST_F(FileReaderWin32Test, OpensAFileWhoseNameIsChineseAndLetsOthersRead) {
  const fs::path path = dir_ / L"下载文件.bin";
  std::ofstream(path, std::ios::binary) << std::string(3000, 'q');
  SystemError error = 0;
  const auto file = OpenForReading(Utf8(path), error);
  ASSERT_NE(file, nullptr) << error;
  EXPECT_TRUE(FileExists(Utf8(path)));
  EXPECT_EQ(file->Size(), 3000u);
  // Shared for reading only: a second reader gets in, a writer does not.
  const auto second = OpenForReading(Utf8(path), error);
  EXPECT_NE(second, nullptr);
  HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  std::vector<uint8_t> buffer(4000);
  const IoResult read = file->Read(buffer.data(), 4000);
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.count, 3000u);
}

TEST_F(FileReaderWin32Test, MissingFilesAndFoldersAreRefusedAndNothingIsLeftOpen) {
  const DWORD handles = HandleCount();
  const std::string missing = Utf8(dir_ / L"missing.bin");
  for (const std::string& path : {missing, Utf8(dir_), std::string()}) {
    SystemError error = 0;
    EXPECT_EQ(OpenForReading(path, error), nullptr) << path;
    EXPECT_NE(error, 0u) << path;
    EXPECT_FALSE(FileExists(path)) << path;
  }
  EXPECT_FALSE(fs::exists(missing)) << "never creates a file";
  EXPECT_EQ(HandleCount(), handles);
}

// A file at a path of 300 characters and a 300-character path whose first 259 characters name
// another file: the long path is taken whole, never cut.
TEST_F(FileReaderWin32Test, LongPathsAreTakenWholeNeverCut) {
  const fs::path folder = dir_ / std::wstring(120, L'd');
  fs::create_directories(folder);
  const std::wstring start = (folder / L"n").wstring();
  const fs::path longPath = start + std::wstring(300 - start.size() - 4, L'n') + L".bin";
  std::ofstream(longPath, std::ios::binary) << std::string(700, 'q');
  const fs::path twin = longPath.wstring().substr(0, 259);
  std::ofstream(twin, std::ios::binary) << std::string(600, 't');
  const std::string missing = Utf8(longPath) + ".more";

  SystemError error = 0;
  const auto file = OpenForReading(Utf8(longPath), error);
  ASSERT_NE(file, nullptr) << error;
  EXPECT_EQ(file->Size(), 700u);
  EXPECT_TRUE(PathWithinLimit(Utf8(longPath)));
  EXPECT_TRUE(FileExists(Utf8(longPath)));
  EXPECT_EQ(OpenForReading(missing, error), nullptr);
  EXPECT_FALSE(FileExists(missing));
  EXPECT_FALSE(FileExists(Utf8(twin) + std::string(41, 'x')));
  // The longest path a system call takes is 32767 UTF-16 units (not bytes); beyond it nothing
  // is tried.
  std::string chinese;
  for (int i = 0; i < 32767; ++i) chinese += "固";
  EXPECT_TRUE(PathWithinLimit(chinese));
  EXPECT_FALSE(PathWithinLimit(chinese + "固"));
  EXPECT_TRUE(PathWithinLimit(std::string(32767, 'p')));
  EXPECT_FALSE(PathWithinLimit(std::string(32768, 'p')));
}

// Both programs carry an application manifest that the system's loader accepts and that
// declares them aware of long paths, and nothing else.
TEST(ManifestWin32Test, BothProgramsDeclareLongPathsOnly) {
  for (const char* program : {IAPFLASH_EXE, IAPFLASH_GUI_EXE}) {
    const std::wstring path = Widen(program);
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr) << program;
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(found, nullptr) << program << " has no manifest";
    const auto* bytes = static_cast<const char*>(LockResource(LoadResource(module, found)));
    const std::string manifest(bytes, SizeofResource(module, found));
    FreeLibrary(module);
    EXPECT_NE(manifest.find("<ws2:longPathAware>true</ws2:longPathAware>"), std::string::npos)
        << manifest;
    for (const char* absent : {"activeCodePage", "requestedExecutionLevel", "supportedOS",
                               "dependentAssembly", "dpiAware"}) {
      EXPECT_EQ(manifest.find(absent), std::string::npos) << program << ": " << absent;
    }
    // The system's own reading: an activation context is made from it.
    ACTCTXW context{};
    context.cbSize = sizeof context;
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.lpSource = path.c_str();
    context.lpResourceName = MAKEINTRESOURCEW(1);
    HANDLE made = CreateActCtxW(&context);
    EXPECT_NE(made, INVALID_HANDLE_VALUE) << program << ": error " << GetLastError();
    if (made != INVALID_HANDLE_VALUE) ReleaseActCtx(made);
  }
}

TEST(SerialPortWin32Test, AMissingPortFailsWithTheSystemsCode) {
  const DWORD handles = HandleCount();
  for (const char* name : {"COM250", "", "NO SUCH PORT"}) {
    SystemError error = 0;
    EXPECT_EQ(SystemSerialPorts().Open(name, error), nullptr) << name;
    EXPECT_NE(error, 0u) << name;
  }
  EXPECT_EQ(HandleCount(), handles);
}

// Wine has no USB serial devices, so discovery may find nothing; it must list both classes and
// release every set and key it opens.
TEST(DeviceTreeWin32Test, DiscoveryRunsAndReleasesEverySetAndKey) {
  DeviceTree& tree = SystemDeviceTree();
  for (DeviceClass deviceClass : {DeviceClass::SerialPort, DeviceClass::UsbDevice}) {
    const auto set = tree.Present(deviceClass);
    ASSERT_NE(set, nullptr) << "the system lists the class";
    DevInst node = 0;
    for (uint32_t i = 0; i < 64 && set->Member(i, node); ++i) {
      std::string text;
      tree.InstanceId(node, text);
      set->Property(i, DeviceProperty::HardwareId, text);
      set->PortName(i, text);
      tree.NodeProperty(node, DeviceProperty::DeviceDesc, text);
    }
  }
  DeviceTable table{};
  const uint8_t first = DiscoverSerialDevices(tree, table);
  const DWORD handles = HandleCount();
  for (int i = 0; i < 20; ++i) EXPECT_EQ(DiscoverSerialDevices(tree, table), first);
  EXPECT_EQ(HandleCount(), handles);
}

// The members of both classes, read through the tree and straight from SetupAPI: the tree names
// each by its instance ID, the same handle for the same node in every set. (The prefix may have
// no such device; tests/wine/device_registry.sh plants a registry of them.)
TEST(DeviceTreeWin32Test, MembersAreKnownByTheirInstanceIds) {
  DeviceTree& tree = SystemDeviceTree();
  const GUID classes[] = {
      {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}},
      {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}}};
  const DeviceClass ours[] = {DeviceClass::SerialPort, DeviceClass::UsbDevice};
  for (int c = 0; c < 2; ++c) {
    HDEVINFO direct =
        SetupDiGetClassDevsW(&classes[c], nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(direct, INVALID_HANDLE_VALUE);
    const auto first = tree.Present(ours[c]);
    const auto second = tree.Present(ours[c]);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    SP_DEVINFO_DATA member{};
    member.cbSize = sizeof member;
    DevInst node = 0;
    DevInst again = 0;
    DWORD i = 0;
    for (; SetupDiEnumDeviceInfo(direct, i, &member); ++i) {
      wchar_t id[256] = {};
      ASSERT_TRUE(SetupDiGetDeviceInstanceIdW(direct, &member, id, 256, nullptr));
      ASSERT_TRUE(first->Member(i, node));
      ASSERT_TRUE(second->Member(i, again));
      EXPECT_EQ(node, again) << "one node, one handle";
      std::string text;
      ASSERT_TRUE(tree.InstanceId(node, text));
      EXPECT_EQ(text, Narrow(id));
    }
    EXPECT_FALSE(first->Member(i, node)) << "as many members as SetupAPI lists";
    SetupDiDestroyDeviceInfoList(direct);
  }
}

TEST(DeviceTreeWin32Test, UnknownNodesAreRefused) {
  DeviceTree& tree = SystemDeviceTree();
  std::string text;
  DevInst parent = 0;
  EXPECT_FALSE(tree.InstanceId(0xFFFFFFF0u, text));
  EXPECT_FALSE(tree.Parent(0xFFFFFFF0u, parent));
  EXPECT_FALSE(tree.NodeProperty(0xFFFFFFF0u, DeviceProperty::HardwareId, text));
}

}  // namespace
}  // namespace iapflash
