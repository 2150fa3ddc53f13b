// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <future>
#include <thread>

#include "platform/hotplug.h"

namespace iapflash {
namespace {

constexpr const wchar_t* WINDOW_CLASS = L"iapflash.hotplug";

// A message-only window on a thread of its own, registered for the arrival and removal of every
// device interface (COM ports and USB devices among them); each sets an event that Wait waits on.
class WindowHotplugWatch final : public HotplugWatch {
 public:
  WindowHotplugWatch() : event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
  ~WindowHotplugWatch() override {
    if (thread_.joinable()) {
      if (window_ != nullptr) PostMessageW(window_, WM_CLOSE, 0, 0);
      thread_.join();
    }
    if (event_ != nullptr) CloseHandle(event_);
  }
  WindowHotplugWatch(const WindowHotplugWatch&) = delete;
  WindowHotplugWatch& operator=(const WindowHotplugWatch&) = delete;

  // False when the window or its registration could not be made.
  bool Start() {
    if (event_ == nullptr) return false;
    std::promise<HWND> made;
    std::future<HWND> window = made.get_future();
    thread_ = std::thread([this, &made] { Serve(made); });
    window_ = window.get();
    return window_ != nullptr;
  }

  bool Wait(uint32_t ms) override { return WaitForSingleObject(event_, ms) == WAIT_OBJECT_0; }

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<WindowHotplugWatch*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_DEVICECHANGE && self != nullptr &&
        (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
      SetEvent(self->event_);
      return TRUE;
    }
    if (message == WM_CLOSE) {
      DestroyWindow(window);
      return 0;
    }
    if (message == WM_DESTROY) {
      PostQuitMessage(0);
      return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }

  void Serve(std::promise<HWND>& made) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &Procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = WINDOW_CLASS;
    RegisterClassExW(&windowClass);  // fails harmlessly when it is registered already
    HWND window = CreateWindowExW(0, WINDOW_CLASS, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
    if (window == nullptr) {
      made.set_value(nullptr);
      return;
    }
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    HDEVNOTIFY notify = RegisterDeviceNotificationW(
        window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
    if (notify == nullptr) {
      DestroyWindow(window);
      made.set_value(nullptr);
      return;
    }
    made.set_value(window);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    UnregisterDeviceNotification(notify);
  }

  HANDLE event_;
  std::thread thread_;
  HWND window_ = nullptr;
};

}  // namespace

std::unique_ptr<HotplugWatch> SystemHotplugWatch() {
  auto watch = std::make_unique<WindowHotplugWatch>();
  if (!watch->Start()) return nullptr;
  return watch;
}

}  // namespace iapflash
