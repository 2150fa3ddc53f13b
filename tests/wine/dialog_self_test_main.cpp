// The Win32 dialog's self-test: the operator's window on the simulated bus, driven through
// window messages (see dialog_self_test.h).
//   dialog_self_test.exe FILE [--ready-file PATH] [--opened-with PATH]
// Prints the log pane's text and a line per failed check on stdout and exits 0 when all passed;
// with --ready-file it leaves the window open at the end and writes PATH (screenshots); with
// --opened-with the window opens as iapflash-gui.exe PATH does, which the test then checks.
#include <windows.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/win32/main_window.h"
#include "dialog_self_test.h"
#include "platform/win32/wide_text.h"
#include "sim/sim_bus.h"

namespace {

using namespace iapflash;

constexpr int EXIT_USAGE = 2;

// Whole bytes to stdout, whatever the console's code page.
void WriteStdout(const std::string& text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written = 0;
  if (out && out != INVALID_HANDLE_VALUE) {
    WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
}

std::vector<std::string> Arguments() {
  int count = 0;
  wchar_t** raw = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int i = 1; raw && i < count; ++i) arguments.push_back(Narrow(raw[i]));
  LocalFree(raw);
  return arguments;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  const std::vector<std::string> arguments = Arguments();
  std::string readyFile;
  std::string openedWith;
  bool usable = !arguments.empty() && arguments.size() % 2 == 1;
  for (std::size_t i = 1; usable && i + 1 < arguments.size(); i += 2) {
    if (arguments[i] == "--ready-file") {
      readyFile = arguments[i + 1];
    } else if (arguments[i] == "--opened-with") {
      openedWith = arguments[i + 1];
    } else {
      usable = false;
    }
  }
  if (!usable) {
    WriteStdout("usage: dialog_self_test.exe FILE [--ready-file PATH] [--opened-with PATH]\n");
    return EXIT_USAGE;
  }
  const std::unique_ptr<SimulatedBus> bus = MakeSimulatedBus("demo", SystemClock());
  gui::MainWindow window(bus->Ports(), bus->Tree(), SystemClock());
  if (!openedWith.empty()) window.OpenWithFile(openedWith);

  bool passed = false;
  std::string report;
  std::thread driver(
      [&] { passed = gui::RunSelfTest(window, arguments[0], report, readyFile, openedWith); });
  const INT_PTR result = window.Run(instance);
  driver.join();
  if (result == -1) report += "FAILED: the dialog could not be created\n";
  WriteStdout(report);
  WriteStdout(passed && result != -1 ? "SELF-TEST PASSED\n" : "SELF-TEST FAILED\n");
  return passed && result != -1 ? 0 : 1;
}
