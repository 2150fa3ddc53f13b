// iapflash-gui: the operator's window on Windows.
//   iapflash-gui.exe [--simulate[=SCENARIO]] [FILE] | --version     FILE: into the path control
#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/win32/main_window.h"
#include "iapflash_version.h"
#include "platform/win32/wide_text.h"
#include "sim/sim_bus.h"

namespace {

using namespace iapflash;

constexpr int EXIT_USAGE = 2;

struct Options {
  WindowArguments window;
  bool version = false;
};

std::vector<std::string> Arguments() {
  int count = 0;
  wchar_t** raw = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int i = 1; raw && i < count; ++i) arguments.push_back(Narrow(raw[i]));
  LocalFree(raw);
  return arguments;
}

bool Parse(const std::vector<std::string>& arguments, Options& options) {
  std::vector<std::string> windowArguments;
  for (const std::string& argument : arguments) {
    if (argument == "--version") {
      options.version = true;
    } else {
      windowArguments.push_back(argument);
    }
  }
  return ParseWindowArguments(windowArguments, options.window);
}

void Complain(const std::string& text) {
  MessageBoxW(nullptr, Widen(text).c_str(), Widen(MESSAGE_BOX_CAPTION).c_str(),
              MB_OK | MB_ICONERROR);
}

// Whole bytes to stdout, whatever the console's code page; false when there is no stdout.
bool WriteStdout(const std::string& text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written = 0;
  return out && out != INVALID_HANDLE_VALUE &&
         WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  Options options;
  if (!Parse(Arguments(), options)) {
    Complain("usage: iapflash-gui.exe [--simulate[=SCENARIO]] [FILE]");
    return EXIT_USAGE;
  }
  if (options.version) {
    // Started from Explorer a window program has no stdout: the version shows in a box.
    const std::string text = "iapflash-gui " IAPFLASH_VERSION_TEXT;
    if (!WriteStdout(text + "\n")) {
      MessageBoxW(nullptr, Widen(text).c_str(), Widen(MESSAGE_BOX_CAPTION).c_str(),
                  MB_OK | MB_ICONINFORMATION);
    }
    return 0;
  }
  std::unique_ptr<SimulatedBus> bus;
  const std::optional<std::string>& scenario = options.window.scenario;
  if (scenario) {
    bus = MakeSimulatedBus(*scenario, SystemClock());
    if (!bus) {
      Complain("--simulate: unknown scenario \"" + *scenario + "\"");
      return EXIT_USAGE;
    }
  }
  SerialPorts& ports = bus ? bus->Ports() : SystemSerialPorts();
  DeviceTree& tree = bus ? bus->Tree() : SystemDeviceTree();

  gui::MainWindow window(ports, tree, SystemClock());
  if (options.window.file) window.OpenWithFile(*options.window.file);
  const INT_PTR result = window.Run(instance);
  return result == -1 ? 1 : static_cast<int>(result);
}
