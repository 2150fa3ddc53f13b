#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "app/window_logic.h"

namespace iapflash::gui {

// Posted to the dialog to run the calls that the download worker handed to the window's thread.
inline constexpr UINT WM_RUN_PENDING_CALLS = WM_APP + 1;

// The Win32 dialog IDD_MAIN as the window logic's front end.
class MainWindow final : public WindowFront {
 public:
  MainWindow(SerialPorts& ports, DeviceTree& tree, Clock& clock);

  // Runs the dialog modally; returns its result.
  INT_PTR Run(HINSTANCE instance);
  // The path the path control holds when the window opens (the program's FILE argument).
  void OpenWithFile(const std::string& path) { openWith_ = path; }
  // The dialog once it is open; null before and after.
  HWND Handle() const { return window_.load(); }

  void ShowError(const std::string& text) override;
  bool ChooseUpdateFile(std::string& path) override;
  std::string FilePathText() override;
  void SetFilePathText(const std::string& path) override;
  void AppendLogText(std::string_view text) override;
  void ClearLogText() override;
  int SelectedDeviceLine() override;
  void SetDeviceLines(const std::vector<std::string>& lines, int selected) override;
  void SetDownloadEnabled(bool enabled) override;
  void WakeWindowThread() override;
  void EndProgram() override;

 private:
  friend INT_PTR CALLBACK MainDlgProc(HWND, UINT, WPARAM, LPARAM);
  void Opened(HWND window);
  bool Command(WORD id, WORD notification);
  HWND Control(int id) const { return GetDlgItem(window_.load(), id); }

  std::atomic<HWND> window_{nullptr};
  std::string openWith_;
  WindowLogic logic_;
};

INT_PTR CALLBACK MainDlgProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace iapflash::gui
