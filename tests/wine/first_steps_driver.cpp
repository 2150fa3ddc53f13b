// Follows step 2 of FIRST-STEPS.txt in the window of iapflash-gui.exe, a program of its own
// (started with --simulate from the unzipped folder), through window messages as the operator's
// clicks and keys: 1.查找设备, 2.指定下载文件 and the sample chosen in the file dialog, which
// must list it and no file of another kind, then 3.固件下载, and the window closed.
//   first_steps_driver.exe SAMPLE       (run in the unzipped folder; SAMPLE: demo_app.bin)
// Prints a line per step; exit 0 when every step did what FIRST-STEPS.txt says.
//   first_steps_driver.exe --devices GUI_EXE
//       starts GUI_EXE (iapflash-gui.exe) itself, presses 1.查找设备 in its window and prints the
//       scan's log line and the device list's lines, then closes it; exit 0 when the program
//       ended with status 0 (tests/wine/device_registry.sh). Its window is found by its process,
//       so that the windows of other programs in the same prefix (other tests) are never touched.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <dlgs.h>
// clang-format on

#include <chrono>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/window_logic.h"
#include "platform/win32/wide_text.h"

namespace {

using namespace iapflash;
using std::chrono::milliseconds;

bool WaitFor(const std::function<bool()>& done, milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(milliseconds(50));
  }
  return true;
}

// A control's text in another process: WM_GETTEXT crosses processes.
std::wstring Text(HWND window) {
  const LRESULT length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const LRESULT got = SendMessageW(window, WM_GETTEXT, static_cast<WPARAM>(length + 1),
                                   reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(got));
  return text;
}

// A dialog exists, titled, before its controls do: a control's handle taken then is null, and
// every message to it is lost. The dialog shows once its controls are made and initialised.
bool Shown(HWND dialog) {
  return dialog != nullptr && IsWindowVisible(dialog) && GetDlgItem(dialog, IDC_LOG) != nullptr &&
         GetDlgItem(dialog, IDC_DEVICE_LIST) != nullptr;
}

// The dialog titled title of the process id, once it shows.
HWND DialogOf(DWORD process, const std::wstring& title) {
  struct Search {
    DWORD process;
    const std::wstring& title;
    HWND found = nullptr;
  } search{process, title};
  EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        wchar_t name[64] = {};
        GetClassNameW(window, name, 64);
        if (owner == s->process && lstrcmpW(name, L"#32770") == 0 && Shown(window)) {
          const int length = GetWindowTextLengthW(window);
          std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
          text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), length + 1)));
          if (text == s->title) s->found = window;
        }
        return s->found == nullptr;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND FindChildOfClass(HWND parent, const wchar_t* className) {
  struct Search {
    const wchar_t* className;
    HWND found = nullptr;
  } search{className};
  EnumChildWindows(
      parent,
      [](HWND child, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        wchar_t name[64] = {};
        GetClassNameW(child, name, 64);
        if (lstrcmpiW(name, s->className) == 0) s->found = child;
        return s->found == nullptr;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

struct ProcessMemoryFreer {
  HANDLE process;
  void operator()(void* at) const { VirtualFreeEx(process, at, 0, MEM_RELEASE); }
};
struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};

// The names a list view of another process shows: its messages carry pointers, so the item and
// its text buffer live in that process.
std::vector<std::wstring> ListViewNames(HWND list) {
  std::vector<std::wstring> names;
  DWORD id = 0;
  GetWindowThreadProcessId(list, &id);
  const std::unique_ptr<void, HandleCloser> process(
      OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, id));
  if (!process) return names;
  constexpr std::size_t TEXT_CHARS = 1024;
  const std::unique_ptr<void, ProcessMemoryFreer> remote(
      VirtualAllocEx(process.get(), nullptr, sizeof(LVITEMW) + TEXT_CHARS * sizeof(wchar_t),
                     MEM_COMMIT, PAGE_READWRITE),
      ProcessMemoryFreer{process.get()});
  if (!remote) return names;
  auto* remoteItem = static_cast<LVITEMW*>(remote.get());
  auto* remoteText = reinterpret_cast<wchar_t*>(remoteItem + 1);
  const LRESULT count = SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    LVITEMW item{};
    item.iSubItem = 0;
    item.pszText = remoteText;
    item.cchTextMax = TEXT_CHARS;
    SIZE_T moved = 0;
    if (!WriteProcessMemory(process.get(), remoteItem, &item, sizeof item, &moved)) break;
    const LRESULT length = SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(i),
                                        reinterpret_cast<LPARAM>(remoteItem));
    std::wstring name(TEXT_CHARS, L'\0');
    if (!ReadProcessMemory(process.get(), remoteText, name.data(), TEXT_CHARS * sizeof(wchar_t),
                           &moved)) {
      break;
    }
    name.resize(static_cast<std::size_t>(length));
    names.push_back(name);
  }
  return names;
}

// The scan logs its count before it fills the list: waits until the list holds that many lines
// with the last one selected, as the scan leaves it.
bool ListFilled(HWND log, HWND devices) {
  return WaitFor(
      [&] {
        const std::wstring text = Text(log);
        const std::size_t at = text.find(L"已查找到");
        if (at == std::wstring::npos) return false;
        const long found = std::wcstol(text.c_str() + at + 4, nullptr, 10);
        const LRESULT count = SendMessageW(devices, CB_GETCOUNT, 0, 0);
        return count == found && SendMessageW(devices, CB_GETCURSEL, 0, 0) == count - 1;
      },
      milliseconds(60000));
}

// The window's device list after a press of 1.查找设备, as the command line lists devices.
int PrintDevices(HWND window) {
  HWND log = GetDlgItem(window, IDC_LOG);
  HWND devices = GetDlgItem(window, IDC_DEVICE_LIST);
  // The scan the window runs when it opens, then the one the button starts.
  if (!ListFilled(log, devices)) {
    std::printf("the first scan did not end; the log holds: %s, the list %d lines\n",
                Narrow(Text(log)).c_str(),
                static_cast<int>(SendMessageW(devices, CB_GETCOUNT, 0, 0)));
    return 1;
  }
  SendMessageW(log, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
  PostMessageW(GetDlgItem(window, IDC_FIND_DEVICES), BM_CLICK, 0, 0);
  if (!ListFilled(log, devices)) {
    std::printf("no scan; the log holds: %s, the list %d lines\n", Narrow(Text(log)).c_str(),
                static_cast<int>(SendMessageW(devices, CB_GETCOUNT, 0, 0)));
    return 1;
  }
  std::wstring lines = Text(log);
  const LRESULT count = SendMessageW(devices, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    const LRESULT length = SendMessageW(devices, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
    std::wstring line(static_cast<std::size_t>(length) + 1, L'\0');
    SendMessageW(devices, CB_GETLBTEXT, static_cast<WPARAM>(i),
                 reinterpret_cast<LPARAM>(line.data()));
    line.resize(static_cast<std::size_t>(length));
    lines += line + L"\r\n";
  }
  const std::string text = Narrow(lines);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
            nullptr);
  return 0;
}

class Steps {
 public:
  void Check(bool passed, const std::string& what) {
    std::printf("%s  %s\n", passed ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!passed) ok_ = false;
  }
  bool Passed() const { return ok_; }

 private:
  bool ok_ = true;
};

// --devices GUI_EXE: the program started here, its window's device list printed, the window
// closed; 0 when all of it worked and the program ended with status 0.
int Devices(const std::wstring& program) {
  std::wstring commandLine = L"\"" + program + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &started)) {
    std::printf("%s could not be started (error %lu)\n", Narrow(program).c_str(), GetLastError());
    return 1;
  }
  const std::unique_ptr<void, HandleCloser> process(started.hProcess);
  const std::unique_ptr<void, HandleCloser> thread(started.hThread);
  const std::wstring title = Widen(WINDOW_TITLE);
  HWND window = nullptr;
  const bool opened = WaitFor(
      [&] {
        window = DialogOf(started.dwProcessId, title);
        return window != nullptr || WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
      },
      milliseconds(120000));
  int status = 1;
  if (!opened || !window) {
    std::printf("%s showed no window\n", Narrow(program).c_str());
  } else {
    status = PrintDevices(window);
    // Closed as Esc closes it, whatever the list showed.
    PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
  }
  // The program ends once its window is closed; one left open is a failure that must not outlive
  // the test.
  if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
    std::printf("the window did not end its program\n");
    TerminateProcess(process.get(), 1);
    return 1;
  }
  DWORD exitCode = 1;
  GetExitCodeProcess(process.get(), &exitCode);
  if (exitCode != 0) std::printf("the program ended with status %lu\n", exitCode);
  return status == 0 && exitCode == 0 ? 0 : 1;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  const std::vector<std::wstring> arguments(argv ? argv + 1 : nullptr,
                                            argv ? argv + argc : nullptr);
  LocalFree(argv);
  if (arguments.size() == 2 && arguments[0] == L"--devices") return Devices(arguments[1]);
  if (arguments.size() != 1 || arguments[0].rfind(L"--", 0) == 0) {
    std::printf("usage: first_steps_driver.exe SAMPLE | --devices GUI_EXE\n");
    return 2;
  }
  const std::wstring sample = arguments[0];
  wchar_t full[MAX_PATH] = {};
  GetFullPathNameW(sample.c_str(), MAX_PATH, full, nullptr);
  Steps steps;

  HWND window = nullptr;
  const std::wstring title = Widen(WINDOW_TITLE);
  steps.Check(WaitFor([&] { return Shown(window = FindWindowW(L"#32770", title.c_str())); },
                      milliseconds(60000)),
              "iapflash-gui.exe --simulate opens its window");
  if (!Shown(window)) return 1;
  HWND log = GetDlgItem(window, IDC_LOG);
  HWND devices = GetDlgItem(window, IDC_DEVICE_LIST);
  auto logHas = [&](const char* text, milliseconds limit) {
    return WaitFor([&] { return Text(log).find(Widen(text)) != std::wstring::npos; }, limit);
  };

  // 1.查找设备 lists the devices; the last one is selected.
  // The window's own first scan ends first; then the button's.
  steps.Check(ListFilled(log, devices),
              "the window scans when it opens (the log holds: " + Narrow(Text(log)) + ")");
  SendMessageW(log, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
  PostMessageW(GetDlgItem(window, IDC_FIND_DEVICES), BM_CLICK, 0, 0);
  const bool scanned = ListFilled(log, devices);
  steps.Check(
      scanned && SendMessageW(devices, CB_GETCOUNT, 0, 0) > 0,
      "1.查找设备 lists the devices and selects the last (the log holds: " + Narrow(Text(log)) +
          ", the list " + std::to_string(SendMessageW(devices, CB_GETCOUNT, 0, 0)) + " lines)");

  // 2.指定下载文件 opens the file dialog, which lists the sample and no file of another kind.
  PostMessageW(GetDlgItem(window, IDC_BROWSE), BM_CLICK, 0, 0);
  HWND chooser = nullptr;
  const std::wstring chooserTitle = Widen(FILE_DIALOG_TITLE);
  steps.Check(WaitFor(
                  [&] {
                    chooser = FindWindowW(L"#32770", chooserTitle.c_str());
                    return chooser != nullptr;
                  },
                  milliseconds(60000)),
              "2.指定下载文件 opens the file dialog");
  if (!chooser) return 1;
  // The dialog fills its list after it shows: the names are read until the sample is among them
  // (a list read while it fills would lack it).
  std::wstring shown;
  bool sampleShown = false;
  bool otherKindShown = false;
  WaitFor(
      [&] {
        HWND list = FindChildOfClass(chooser, L"SysListView32");
        shown.clear();
        sampleShown = otherKindShown = false;
        for (const std::wstring& name : list ? ListViewNames(list) : std::vector<std::wstring>{}) {
          shown += name + L" ";
          // Explorer may hide the extension of a known kind.
          if (lstrcmpiW(name.c_str(), sample.c_str()) == 0 ||
              lstrcmpiW(name.c_str(), sample.substr(0, sample.rfind(L'.')).c_str()) == 0) {
            sampleShown = true;
          }
          for (const wchar_t* other : {L"README.txt", L"FIRST-STEPS.txt", L"iapflash.exe"}) {
            if (lstrcmpiW(name.c_str(), other) == 0) otherKindShown = true;
          }
        }
        return sampleShown;
      },
      milliseconds(60000));
  steps.Check(sampleShown,
              "the dialog lists " + Narrow(sample) + " in the folder: " + Narrow(shown));
  steps.Check(!otherKindShown, "the dialog lists no file of another kind");

  // The sample chosen: its name in the "File name" box, then Open.
  HWND name = GetDlgItem(chooser, cmb13);
  if (!name) name = GetDlgItem(chooser, edt1);
  SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(sample.c_str()));
  PostMessageW(chooser, WM_COMMAND, IDOK, 0);
  HWND path = GetDlgItem(window, IDC_FILE_PATH);
  const bool chosen =
      WaitFor([&] { return lstrcmpiW(Text(path).c_str(), full) == 0; }, milliseconds(20000));
  steps.Check(chosen,
              "the path field holds " + Narrow(full) + " (it holds " + Narrow(Text(path)) + ")");

  // 3.固件下载 downloads it; the log ends with the success line.
  SendMessageW(log, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
  PostMessageW(GetDlgItem(window, IDC_DOWNLOAD), BM_CLICK, 0, 0);
  steps.Check(logHas("****固件下载成功.", milliseconds(120000)),
              "3.固件下载 downloads it and the log says \"****固件下载成功.\"");

  // Closing the window (Esc) ends the program.
  PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
  steps.Check(WaitFor([&] { return !IsWindow(window); }, milliseconds(20000)),
              "closing the window ends it");
  return steps.Passed() ? 0 : 1;
}
