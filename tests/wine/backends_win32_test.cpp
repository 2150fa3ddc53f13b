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

// Every present node, whatever its class, read through the tree and straight from SetupAPI.
TEST(DeviceTreeWin32Test, NodeQueriesAgreeWithSetupApi) {
  DeviceTree& tree = SystemDeviceTree();
  HDEVINFO all = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  ASSERT_NE(all, INVALID_HANDLE_VALUE);
  int idLists = 0;
  SP_DEVINFO_DATA member{};
  member.cbSize = sizeof member;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(all, i, &member); ++i) {
    wchar_t id[256] = {};
    ASSERT_TRUE(SetupDiGetDeviceInstanceIdW(all, &member, id, 256, nullptr));
    std::string text;
    ASSERT_TRUE(tree.InstanceId(member.DevInst, text));
    EXPECT_EQ(text, Narrow(id));
    wchar_t list[256] = {};
    DWORD bytes = 0;
    if (SetupDiGetDeviceRegistryPropertyW(all, &member, SPDRP_HARDWAREID, nullptr,
                                          reinterpret_cast<BYTE*>(list), sizeof list, &bytes)) {
      ASSERT_TRUE(tree.NodeProperty(member.DevInst, DeviceProperty::HardwareId, text)) << id;
      EXPECT_EQ(text, Narrow(std::wstring_view(list, bytes / sizeof(wchar_t))));
      ++idLists;
    }
    DevInst parent = 0;
    if (tree.Parent(member.DevInst, parent)) {
      EXPECT_TRUE(tree.InstanceId(parent, text)) << id;
    }
  }
  SetupDiDestroyDeviceInfoList(all);
  EXPECT_GT(idLists, 0) << "the system lists nodes with hardware IDs";
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
