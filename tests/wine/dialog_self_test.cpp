#include "dialog_self_test.h"

#include <dlgs.h>

#include <chrono>
#include <functional>
#include <thread>

#include "platform/win32/wide_text.h"

namespace iapflash::gui {
namespace {

using std::chrono::milliseconds;

constexpr const char* SCAN_LINE_START = "已查找到";
constexpr const char* SUCCESS_LINE = "****固件下载成功.";

// Real time: this runs against the real dialog, under Windows or Wine.
bool WaitFor(const std::function<bool()>& done, milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return true;
}

std::string Text(HWND window) {
  const int length = GetWindowTextLengthW(window);
  if (length <= 0) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int got = GetWindowTextW(window, text.data(), length + 1);
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return Narrow(text);
}

// A top-level dialog of this process with the given caption, such as a message box.
HWND FindDialog(const char* caption) {
  return FindWindowW(L"#32770", Widen(caption).c_str());
}

bool HasStaticText(HWND dialog, const std::string& wanted) {
  struct Search {
    std::string wanted;
    bool found = false;
  } search{wanted};
  EnumChildWindows(
      dialog,
      [](HWND child, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        if (Text(child) == s->wanted) s->found = true;
        return !s->found;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The system's error icon is a shared one: a box that shows it holds the very same handle.
bool ShowsErrorIcon(HWND box) {
  struct Search {
    HICON wanted;
    bool found = false;
  } search{LoadIconW(nullptr, IDI_ERROR)};
  EnumChildWindows(
      box,
      [](HWND child, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        const LONG_PTR style = GetWindowLongPtrW(child, GWL_STYLE);
        if ((style & SS_TYPEMASK) == SS_ICON &&
            reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0)) == s->wanted) {
          s->found = true;
        }
        return !s->found;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Copies of the update file at long paths, in a folder of this test's own under the system's
// temporary folder; removed again when it goes.
class LongPaths {
 public:
  explicit LongPaths(const std::string& from) {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    folder_ =
        std::wstring(temp, length) + L"iapflash-long-" + std::to_wstring(GetCurrentProcessId());
    subfolder_ = folder_ + L"\\" + std::wstring(120, L'd');
    CreateDirectoryW(folder_.c_str(), nullptr);
    CreateDirectoryW(subfolder_.c_str(), nullptr);
    twin_ = Named(folder_ + L"\\twin-", TWIN_UNITS);
    copy_ = Named(subfolder_ + L"\\copy-", COPY_UNITS);
    const std::wstring source = Widen(from);
    made_ = twin_.size() == TWIN_UNITS && copy_.size() == COPY_UNITS &&
            CopyFileW(source.c_str(), twin_.c_str(), FALSE) &&
            CopyFileW(source.c_str(), copy_.c_str(), FALSE);
  }
  ~LongPaths() {
    DeleteFileW(twin_.c_str());
    DeleteFileW(copy_.c_str());
    RemoveDirectoryW(subfolder_.c_str());
    RemoveDirectoryW(folder_.c_str());
  }
  LongPaths(const LongPaths&) = delete;
  LongPaths& operator=(const LongPaths&) = delete;

  bool Made() const { return made_; }
  // 300 characters that name no file; their first 259 name a copy.
  std::string TwinnedPath() const { return Narrow(twin_ + L"-" + std::wstring(40, L'x')); }
  // A copy at a path of 300 characters.
  std::string LongCopy() const { return Narrow(copy_); }

 private:
  static constexpr std::size_t TWIN_UNITS = 259;
  static constexpr std::size_t COPY_UNITS = 300;
  static std::wstring Named(const std::wstring& start, std::size_t units) {
    return start.size() + 4 < units ? start + std::wstring(units - start.size() - 4, L'n') + L".bin"
                                    : std::wstring();
  }
  std::wstring folder_;
  std::wstring subfolder_;
  std::wstring twin_;
  std::wstring copy_;
  bool made_ = false;
};

class Driver {
 public:
  Driver(HWND dialog, std::string& report) : dialog_(dialog), report_(report) {}

  HWND Control(int id) const { return GetDlgItem(dialog_, id); }
  std::string Log() const { return Text(Control(IDC_LOG)); }
  void SetPath(const std::string& path) {
    SendMessageW(Control(IDC_FILE_PATH), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(Widen(path).c_str()));
  }
  // Posted, like an operator's click: a handler that opens a modal box does not return until
  // the box is closed.
  void Click(int id) { PostMessageW(Control(id), BM_CLICK, 0, 0); }

  void Check(bool passed, const std::string& what) {
    if (!passed) {
      ok_ = false;
      report_ += "FAILED: " + what + "\n";
    }
  }

  // Waits for the error message box with text, checks its caption, and closes it.
  void ExpectErrorBox(const char* text) {
    HWND box = nullptr;
    const bool shown = WaitFor([&] { return (box = FindDialog(MESSAGE_BOX_CAPTION)) != nullptr; },
                               milliseconds(10000));
    Check(shown, std::string("message box \"") + text + "\" shows");
    if (!shown) return;
    Check(HasStaticText(box, text), std::string("message box reads \"") + text + "\"");
    Check(ShowsErrorIcon(box), std::string("message box \"") + text + "\" shows the error icon");
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    Check(WaitFor([] { return FindDialog(MESSAGE_BOX_CAPTION) == nullptr; }, milliseconds(10000)),
          "message box closes");
  }

  bool LogHas(const std::string& text, milliseconds limit) {
    return WaitFor([&] { return Log().find(text) != std::string::npos; }, limit);
  }

  bool Passed() const { return ok_; }

 private:
  HWND dialog_;
  std::string& report_;
  bool ok_ = true;
};

const wchar_t* ClassOf(ControlKind kind) {
  switch (kind) {
    case ControlKind::Label:
      return L"Static";
    case ControlKind::DropDownList:
      return L"ComboBox";
    case ControlKind::LineEdit:
    case ControlKind::LogEdit:
      return L"Edit";
    case ControlKind::PushButton:
    case ControlKind::GroupBox:
      return L"Button";
  }
  return L"";
}

// The dialog's controls against the portable table: order, id, class, caption, style, place.
void CheckLayout(Driver& d, HWND dialog) {
  HWND child = GetWindow(dialog, GW_CHILD);
  for (const WindowControl& want : MAIN_WINDOW_CONTROLS) {
    const std::string what = std::string("control ") + std::to_string(want.id) + " \"" +
                             want.caption + "\" at " + std::to_string(want.x) + "," +
                             std::to_string(want.y);
    if (!child) {
      d.Check(false, what + " exists");
      return;
    }
    wchar_t className[32] = {};
    GetClassNameW(child, className, 32);
    const LONG_PTR style = GetWindowLongPtrW(child, GWL_STYLE);
    d.Check(GetDlgCtrlID(child) == want.id, what + ": id");
    d.Check(lstrcmpiW(className, ClassOf(want.kind)) == 0, what + ": class");
    if (want.kind == ControlKind::Label || want.kind == ControlKind::PushButton) {
      d.Check(Text(child) == want.caption, what + ": caption");
    }
    d.Check(((style & WS_TABSTOP) != 0) == want.tabStop, what + ": tab stop");
    if (want.kind == ControlKind::PushButton) {
      d.Check(((style & BS_LEFT) == BS_LEFT) == want.textLeft, what + ": text alignment");
    }
    // The dialog manager scales position and size each on its own.
    RECT origin{want.x, want.y, 0, 0};
    RECT size{0, 0, want.width, want.height};
    MapDialogRect(dialog, &origin);
    MapDialogRect(dialog, &size);
    RECT actual{};
    GetWindowRect(child, &actual);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&actual), 2);
    const bool sized =
        actual.right - actual.left == size.right &&
        // a drop-down list's height is that of its open list
        (want.kind == ControlKind::DropDownList || actual.bottom - actual.top == size.bottom);
    d.Check(actual.left == origin.left && actual.top == origin.top && sized, what + ": place");
    child = GetWindow(child, GW_HWNDNEXT);
  }
  d.Check(child == nullptr, "no further controls");
  RECT client{};
  GetClientRect(dialog, &client);
  RECT size{0, 0, WINDOW_WIDTH_DU, WINDOW_HEIGHT_DU};
  MapDialogRect(dialog, &size);
  d.Check(client.right == size.right && client.bottom == size.bottom, "the window's size");
}

}  // namespace

bool RunSelfTest(const MainWindow& window, const std::string& updateFile, std::string& report,
                 const std::string& readyFile, const std::string& openedWith) {
  HWND dialog = nullptr;
  if (!WaitFor([&] { return (dialog = window.Handle()) != nullptr; }, milliseconds(20000))) {
    report += "FAILED: the dialog did not open\n";
    return false;
  }
  Driver d(dialog, report);
  HWND devices = d.Control(IDC_DEVICE_LIST);
  HWND interfaces = d.Control(IDC_INTERFACE);

  // The window as it opens: title, controls, interface fixed on serial, and the first scan.
  d.Check(Text(dialog) == WINDOW_TITLE, "window title");
  CheckLayout(d, dialog);
  d.Check(SendMessageW(interfaces, CB_GETCURSEL, 0, 0) == INTERFACE_SERIAL &&
              SendMessageW(interfaces, CB_GETCOUNT, 0, 0) == 2 && !IsWindowEnabled(interfaces),
          "interface list holds two entries, serial selected, disabled");
  if (!openedWith.empty()) {
    d.Check(Text(d.Control(IDC_FILE_PATH)) == openedWith, "the path control holds the FILE");
  }
  d.Check(d.LogHas(SCAN_LINE_START, milliseconds(30000)), "the first scan runs at once");
  const LRESULT count = SendMessageW(devices, CB_GETCOUNT, 0, 0);
  const LRESULT selected = SendMessageW(devices, CB_GETCURSEL, 0, 0);
  d.Check(count > 0 && selected == count - 1, "the scan lists devices and selects the last");

  // Download refused: no device selected.
  SendMessageW(devices, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
  d.Click(IDC_DOWNLOAD);
  d.ExpectErrorBox(NO_DEVICE_TEXT);
  d.Check(d.LogHas(std::string(NO_DEVICE_TEXT) + ".\r\n", milliseconds(5000)),
          "no-device line with its full stop");

  // Download refused: no path.
  SendMessageW(devices, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
  d.SetPath("");
  d.Click(IDC_DOWNLOAD);
  d.ExpectErrorBox(NO_FILE_TEXT);
  d.Check(d.LogHas(std::string(NO_FILE_LINE) + "\r\n", milliseconds(5000)), "no-file line");

  // Download refused: the file does not exist; the log stays as it was.
  const std::string before = d.Log();
  d.SetPath(updateFile + ".missing");
  d.Click(IDC_DOWNLOAD);
  d.ExpectErrorBox(FILE_MISSING_TEXT);
  d.Check(d.Log() == before, "a missing file logs nothing");

  // A 300-character path that names no file, whose first 259 characters name one: the path is
  // read whole, so the missing file is refused and nothing downloads.
  const LongPaths longPaths(updateFile);
  d.Check(longPaths.Made(), "copies of the update file at long paths can be made");
  d.SetPath(longPaths.TwinnedPath());
  d.Click(IDC_DOWNLOAD);
  d.ExpectErrorBox(FILE_MISSING_TEXT);
  d.Check(d.Log() == before, "a long path to a missing file logs nothing");
  d.Check(IsWindowEnabled(d.Control(IDC_DOWNLOAD)) != 0, "no download starts");
  d.SetPath(updateFile + ".missing");

  // The open-file dialog, cancelled: a log line, the path unchanged.
  d.Click(IDC_BROWSE);
  HWND chooser = nullptr;
  const bool chooserShown = WaitFor(
      [&] { return (chooser = FindDialog(FILE_DIALOG_TITLE)) != nullptr; }, milliseconds(20000));
  d.Check(chooserShown, "the open-file dialog shows");
  if (chooserShown) {
    // Its one filter, the ticked read-only box and the Help button (the common dialog's ids).
    HWND types = GetDlgItem(chooser, cmb1);
    wchar_t type[64] = {};
    const LRESULT typeIndex = SendMessageW(types, CB_GETCURSEL, 0, 0);
    if (typeIndex != CB_ERR && SendMessageW(types, CB_GETLBTEXTLEN, typeIndex, 0) < 64) {
      SendMessageW(types, CB_GETLBTEXT, typeIndex, reinterpret_cast<LPARAM>(type));
    }
    d.Check(SendMessageW(types, CB_GETCOUNT, 0, 0) == 1 && Narrow(type) == FILE_DIALOG_FILTER,
            "the open-file dialog offers only its one filter");
    d.Check(IsDlgButtonChecked(chooser, chx1) == BST_CHECKED, "the read-only box is ticked");
    d.Check(IsWindowVisible(GetDlgItem(chooser, pshHelp)) != 0, "the open-file dialog has Help");
    PostMessageW(chooser, WM_COMMAND, IDCANCEL, 0);
    d.Check(d.LogHas(std::string(BROWSE_FAILED_LINE) + "\r\n", milliseconds(10000)),
            "cancelling the open-file dialog logs its line");
    d.Check(Text(d.Control(IDC_FILE_PATH)) == updateFile + ".missing", "path unchanged");
  }

  // A file at a path of 300 characters downloads where the system opens such paths (Wine does;
  // Windows 10 and 11 do with long paths enabled).
  d.SetPath(longPaths.LongCopy());
  d.Click(IDC_DOWNLOAD);
  d.Check(d.LogHas(SUCCESS_LINE, milliseconds(120000)), "a file at a 300-character path downloads");
  d.Check(
      WaitFor([&] { return IsWindowEnabled(d.Control(IDC_DOWNLOAD)) != 0; }, milliseconds(20000)),
      "the download of the long path ends");

  // Clear the log.
  SendMessageW(d.Control(IDC_CLEAR_LOG), BM_CLICK, 0, 0);
  d.Check(d.Log().empty(), "the clear-log button empties the log pane");

  // A whole download into the selected device, then the rescan that follows it.
  d.SetPath(updateFile);
  d.Click(IDC_DOWNLOAD);
  d.Check(WaitFor([&] { return !IsWindowEnabled(d.Control(IDC_DOWNLOAD)); }, milliseconds(10000)),
          "the download button is disabled while the download runs");
  const bool succeeded = d.LogHas(SUCCESS_LINE, milliseconds(120000));
  d.Check(succeeded, std::string("the download ends with \"") + SUCCESS_LINE + "\"");
  if (succeeded) {
    d.Check(WaitFor(
                [&] {
                  const std::string log = d.Log();
                  return log.find(SCAN_LINE_START, log.find(SUCCESS_LINE)) != std::string::npos;
                },
                milliseconds(20000)),
            "a scan follows the download");
    d.Check(
        WaitFor([&] { return IsWindowEnabled(d.Control(IDC_DOWNLOAD)) != 0; }, milliseconds(10000)),
        "the download button is enabled again");
  }
  const std::string log = d.Log();
  report.insert(0, log);

  if (readyFile.empty()) {
    // Closing the window during a download ends the program all the same (the caller's
    // time limit catches a hang).
    d.Click(IDC_DOWNLOAD);
    WaitFor([&] { return !IsWindowEnabled(d.Control(IDC_DOWNLOAD)); }, milliseconds(10000));
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
  } else {
    HANDLE ready = CreateFileW(Widen(readyFile).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
  }
  return d.Passed();
}

}  // namespace iapflash::gui
