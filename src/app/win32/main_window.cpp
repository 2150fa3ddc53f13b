#include "app/win32/main_window.h"

#include <commdlg.h>

#include "platform/win32/wide_text.h"

namespace iapflash::gui {
namespace {

// The open-file dialog fills a buffer of its caller's size: room for the longest path the
// system's file calls take, so that no path it can open is refused for want of room.
constexpr DWORD FILE_DIALOG_CHARS = 32768;

// The whole text of a control, however long: a path cut to a buffer's size could name another
// file.
std::wstring WholeText(HWND control) {
  const int length = GetWindowTextLengthW(control);
  if (length <= 0) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int got = GetWindowTextW(control, text.data(), length + 1);
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return text;
}

}  // namespace

MainWindow::MainWindow(SerialPorts& ports, DeviceTree& tree, Clock& clock)
    : logic_(*this, ports, tree, clock) {}

INT_PTR MainWindow::Run(HINSTANCE instance) {
  return DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDlgProc,
                         reinterpret_cast<LPARAM>(this));
}

void MainWindow::Opened(HWND window) {
  window_.store(window);
  // A multi-line edit control holds about 32K characters unless told otherwise; the log of a
  // long session must not stop growing.
  SendMessageW(Control(IDC_LOG), EM_SETLIMITTEXT, 0, 0);
  for (const char* item : INTERFACE_ITEMS) {
    SendMessageW(Control(IDC_INTERFACE), CB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(Widen(item).c_str()));
  }
  SendMessageW(Control(IDC_INTERFACE), CB_SETCURSEL, INTERFACE_SERIAL, 0);
  if (!openWith_.empty()) SetFilePathText(openWith_);
  // The first scan runs as soon as the window shows: the command a click of 1.查找设备 sends. A
  // BM_CLICK would be lost when the dialog is not active (opened behind another program's window).
  PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_FIND_DEVICES, BN_CLICKED),
               reinterpret_cast<LPARAM>(Control(IDC_FIND_DEVICES)));
}

bool MainWindow::Command(WORD id, WORD notification) {
  if (id == IDCANCEL) {
    logic_.Close();
    return true;
  }
  if (notification != BN_CLICKED) return false;
  switch (id) {
    case IDC_FIND_DEVICES:
      logic_.FindDevices();
      return true;
    case IDC_DOWNLOAD:
      logic_.Download();
      return true;
    case IDC_CLEAR_LOG:
      logic_.ClearLog();
      return true;
    case IDC_BROWSE:
      logic_.Browse();
      return true;
    default:
      return false;
  }
}

void MainWindow::ShowError(const std::string& text) {
  MessageBoxW(window_.load(), Widen(text).c_str(), Widen(MESSAGE_BOX_CAPTION).c_str(),
              MB_OK | MB_ICONERROR);
}

bool MainWindow::ChooseUpdateFile(std::string& path) {
  std::wstring chosen(FILE_DIALOG_CHARS, L'\0');
  // Description and pattern, each NUL-terminated, and an empty entry to end the list.
  const std::wstring pattern = Widen(FILE_DIALOG_FILTER);
  const std::wstring filter = pattern + L'\0' + pattern + L'\0' + L'\0';
  const std::wstring title = Widen(FILE_DIALOG_TITLE);
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = window_.load();
  dialog.lpstrFilter = filter.c_str();
  dialog.lpstrFile = chosen.data();
  dialog.nMaxFile = FILE_DIALOG_CHARS;
  dialog.lpstrTitle = title.c_str();
  dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_SHOWHELP | OFN_READONLY;
  // A path longer than the buffer fails the dialog (FNERR_BUFFERTOOSMALL): never cut.
  if (!GetOpenFileNameW(&dialog)) return false;
  path = Narrow(chosen.c_str());
  return true;
}

std::string MainWindow::FilePathText() {
  return Narrow(WholeText(Control(IDC_FILE_PATH)));
}

void MainWindow::SetFilePathText(const std::string& path) {
  HWND control = Control(IDC_FILE_PATH);
  SetWindowTextW(control, Widen(path).c_str());
  const LRESULT end = GetWindowTextLengthW(control);
  SendMessageW(control, EM_SETSEL, end, end);
}

void MainWindow::AppendLogText(std::string_view text) {
  HWND log = Control(IDC_LOG);
  const std::wstring wide = Widen(text);
  const WPARAM end = static_cast<WPARAM>(GetWindowTextLengthW(log));
  SendMessageW(log, EM_SETSEL, end, static_cast<LPARAM>(end));
  SendMessageW(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(wide.c_str()));
  const WPARAM newEnd = static_cast<WPARAM>(GetWindowTextLengthW(log));
  SendMessageW(log, EM_SETSEL, newEnd, static_cast<LPARAM>(newEnd));
  SendMessageW(log, EM_SCROLLCARET, 0, 0);
}

void MainWindow::ClearLogText() {
  SetWindowTextW(Control(IDC_LOG), L"");
}

int MainWindow::SelectedDeviceLine() {
  const LRESULT selected = SendMessageW(Control(IDC_DEVICE_LIST), CB_GETCURSEL, 0, 0);
  return selected == CB_ERR ? -1 : static_cast<int>(selected);
}

void MainWindow::SetDeviceLines(const std::vector<std::string>& lines, int selected) {
  HWND list = Control(IDC_DEVICE_LIST);
  SendMessageW(list, CB_RESETCONTENT, 0, 0);
  for (const auto& line : lines) {
    SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(line).c_str()));
  }
  SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

void MainWindow::SetDownloadEnabled(bool enabled) {
  EnableWindow(Control(IDC_DOWNLOAD), enabled ? TRUE : FALSE);
}

void MainWindow::WakeWindowThread() {
  PostMessageW(window_.load(), WM_RUN_PENDING_CALLS, 0, 0);
}

void MainWindow::EndProgram() {
  EndDialog(window_.load(), 0);
}

INT_PTR CALLBACK MainDlgProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(window, GWLP_USERDATA, lParam);
    reinterpret_cast<MainWindow*>(lParam)->Opened(window);
    return FALSE;
  }
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!self) return FALSE;
  switch (message) {
    case WM_COMMAND:
      // Commands it does not know go on to the dialog's default processing.
      self->Command(LOWORD(wParam), HIWORD(wParam));
      return FALSE;
    case WM_RUN_PENDING_CALLS:
      self->logic_.RunPendingCalls();
      return FALSE;
    case WM_DESTROY:
      self->window_.store(nullptr);
      PostQuitMessage(0);
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace iapflash::gui
