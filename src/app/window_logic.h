#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/device_scan.h"
#include "app/download_run.h"
#include "app/station.h"
#include "platform/clock.h"
#include "platform/device_tree.h"
#include "platform/file_reader.h"
#include "platform/serial_port.h"

namespace iapflash {

// The operator's window, written once for every toolkit: its resource data, the order of its
// checks, its texts and the download worker's life. A front end (Qt, Win32) draws the controls,
// forwards their events to WindowLogic and implements WindowFront.

inline constexpr int IDD_MAIN = 129;
inline constexpr int IDC_INTERFACE = 1001;
inline constexpr int IDC_DOWNLOAD = 1002;
inline constexpr int IDC_FILE_PATH = 1004;
inline constexpr int IDC_FIND_DEVICES = 1005;
inline constexpr int IDC_CLEAR_LOG = 1006;
inline constexpr int IDC_LOG = 1007;
inline constexpr int IDC_BROWSE = 1008;
inline constexpr int IDC_DEVICE_LIST = 1009;
// Static texts and the group box have no id of their own.
inline constexpr int IDC_NONE = -1;

inline constexpr const char* WINDOW_TITLE = "固件更新工具(R2/T2/T4)V110";
inline constexpr const char* MESSAGE_BOX_CAPTION = "IAP DEMO";
inline constexpr const char* FILE_DIALOG_TITLE = "选择下载文件";
// The one filter entry: description and pattern alike. Front ends match it in any case.
inline constexpr const char* FILE_DIALOG_FILTER = "*.BIN";
// The interface list: "USB", "串口"; serial is selected and the list is never enabled.
inline constexpr std::array<const char*, 2> INTERFACE_ITEMS = {"USB", "串口"};
inline constexpr int INTERFACE_SERIAL = 1;

// The window's size in dialog units (font "Fixedsys", 12 points).
inline constexpr int WINDOW_WIDTH_DU = 395;
inline constexpr int WINDOW_HEIGHT_DU = 253;

enum class ControlKind { Label, DropDownList, PushButton, LineEdit, LogEdit, GroupBox };

struct WindowControl {
  int id;
  ControlKind kind;
  const char* caption;      // label or button text; empty for the others
  int x, y, width, height;  // dialog units; a drop-down list's height includes its open list
  bool tabStop;
  bool textLeft;  // push button text aligned left
};

// The controls in creation order, which is also the tab order.
inline constexpr std::array<WindowControl, 12> MAIN_WINDOW_CONTROLS = {{
    {IDC_NONE, ControlKind::Label, "下载接口:", 12, 15, 36, 8, false, false},
    {IDC_INTERFACE, ControlKind::DropDownList, "", 51, 13, 32, 167, false, false},
    {IDC_DOWNLOAD, ControlKind::PushButton, "3.固件下载", 330, 47, 59, 17, true, true},
    {IDC_NONE, ControlKind::Label, "设备列表:", 88, 16, 37, 8, false, false},
    {IDC_DEVICE_LIST, ControlKind::DropDownList, "", 128, 14, 199, 160, true, false},
    {IDC_NONE, ControlKind::Label, "下载文件:", 12, 35, 36, 10, false, false},
    {IDC_FILE_PATH, ControlKind::LineEdit, "", 51, 34, 274, 13, true, false},
    {IDC_FIND_DEVICES, ControlKind::PushButton, "1.查找设备", 330, 13, 59, 15, true, true},
    {IDC_CLEAR_LOG, ControlKind::PushButton, "清空记录", 330, 67, 59, 15, true, false},
    {IDC_LOG, ControlKind::LogEdit, "", 11, 51, 313, 191, true, false},
    {IDC_NONE, ControlKind::GroupBox, "", 3, 2, 390, 248, false, false},
    {IDC_BROWSE, ControlKind::PushButton, "2.指定下载文件", 330, 30, 59, 15, true, true},
}};

// The window's texts, UTF-8.
inline constexpr const char* NO_DEVICE_TEXT = "请先选择下载设备或者当前没有找到下载设备";
inline constexpr const char* NO_FILE_TEXT = "请先选择下载文件";
inline constexpr const char* NO_FILE_LINE = "下载失败!请先选择下载文件";
inline constexpr const char* FILE_MISSING_TEXT = "下载文件不存在或正在使用";
inline constexpr const char* BROWSE_FAILED_LINE = "选择发送文件出错";

// What the window logic needs of a toolkit. Called on the window's thread only, except
// WakeWindowThread.
class WindowFront {
 public:
  virtual ~WindowFront() = default;
  // A modal message box owned by the window: caption MESSAGE_BOX_CAPTION, error icon.
  virtual void ShowError(const std::string& text) = 0;
  // The open-file dialog (FILE_DIALOG_TITLE, FILE_DIALOG_FILTER). True with the chosen path when
  // the operator confirms; false when the operator cancels or the dialog fails.
  virtual bool ChooseUpdateFile(std::string& path) = 0;
  virtual std::string FilePathText() = 0;
  // Replaces the path control's text and puts its caret at the end.
  virtual void SetFilePathText(const std::string& path) = 0;
  // Appends at the end of the log pane and shows the newest text. Lines end in "\r\n"; a cut
  // line ends in "\n".
  virtual void AppendLogText(std::string_view text) = 0;
  virtual void ClearLogText() = 0;
  // Index of the selected device list line, -1 when none.
  virtual int SelectedDeviceLine() = 0;
  virtual void SetDeviceLines(const std::vector<std::string>& lines, int selected) = 0;
  virtual void SetDownloadEnabled(bool enabled) = 0;
  // Any thread, never blocks: asks the window's thread to call WindowLogic::RunPendingCalls
  // soon (Qt: a queued call; Win32: PostMessage).
  virtual void WakeWindowThread() = 0;
  // Ends the window's message loop, so the program ends.
  virtual void EndProgram() = 0;
};

// The operations behind the commands; tests replace them.
struct WindowActions {
  std::function<uint8_t(Station&)> scan;   // the device scan, window's thread
  std::function<void(Station&)> download;  // the run, on the worker's thread
  std::function<bool(const std::string&)> fileExists;
};

// ScanDevices, a download run at the station and FileExists.
WindowActions StandardWindowActions();

// After each run the worker lets the device settle (it is resetting) this long, then asks for a
// device scan.
inline constexpr uint32_t RESCAN_DELAY_MS = 1000;

// The window program's arguments: [--simulate[=SCENARIO]] [FILE]. FILE (a file dropped on the
// program's icon, "Open with") is put into the path control when the window opens.
struct WindowArguments {
  std::optional<std::string> scenario;  // "demo" for a bare --simulate
  std::optional<std::string> file;
};
// False for anything else (an unknown option, a second file): the program shows its usage.
bool ParseWindowArguments(const std::vector<std::string>& arguments, WindowArguments& parsed);

class WindowLogic {
 public:
  // Built on the window's thread; every member below is called on that thread.
  WindowLogic(WindowFront& front, SerialPorts& ports, DeviceTree& tree, Clock& clock,
              WindowActions actions = StandardWindowActions());
  // Ends a running download at once, even in the middle of a port read, and joins its worker, so
  // nothing outlives the window.
  ~WindowLogic();
  WindowLogic(const WindowLogic&) = delete;
  WindowLogic& operator=(const WindowLogic&) = delete;

  // The window is open: the first device scan runs once the window's thread is idle.
  void Start();
  // Commands, one per button, and the close box or Esc.
  void FindDevices();
  void Download();
  void Browse();
  void ClearLog();
  void Close();

  // Runs the calls that the worker handed to the window's thread (see WakeWindowThread).
  void RunPendingCalls();

  bool DownloadRunning() const;
  // The station that scans and downloads run on; its panel is the window.
  Station& GetStation();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace iapflash
