// iapflash-gui [--simulate[=SCENARIO]] [FILE]: the operator's window. Without --simulate it works
// on the machine's serial ports; with it on a simulated bus ("demo" unless named). FILE goes
// into the path control.

#include <QApplication>
#include <QScreen>
#include <QStringList>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "iapflash_version.h"
#include "main_window.h"
#include "platform/clock.h"
#include "platform/device_tree.h"
#include "platform/serial_port.h"
#include "platform/standard_streams.h"
#include "sim/sim_bus.h"

int main(int argc, char** argv) {
  iapflash::OpenClosedStandardStreams();
  // Answered before QApplication, which needs a display.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("iapflash-gui %s\n", IAPFLASH_VERSION_TEXT);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0) {
      std::printf(
          "The operator's window: finds IAP download devices and downloads firmware update files "
          "into them.\n"
          "Usage: iapflash-gui [OPTIONS] [FILE]\n\n"
          "FILE, an update file, goes into the path field.\n\n"
          "Options:\n"
          "  --simulate[=SCENARIO]  Use the simulated bus instead of the machine's devices\n"
          "                         (scenario demo unless named)\n"
          "  --help                 Print this help message and exit\n"
          "  --version              Print the version and exit\n");
      return 0;
    }
  }
  QApplication app(argc, argv);

  std::vector<std::string> arguments;
  for (const QString& argument : QCoreApplication::arguments().mid(1)) {
    arguments.push_back(argument.toStdString());
  }
  iapflash::WindowArguments parsed;
  if (!iapflash::ParseWindowArguments(arguments, parsed)) {
    std::fprintf(stderr, "usage: iapflash-gui [--simulate[=SCENARIO]] [FILE]\n");
    return 2;
  }
  const std::optional<std::string>& scenario = parsed.scenario;

  iapflash::Clock& clock = iapflash::SystemClock();
  std::unique_ptr<iapflash::SimulatedBus> bus;
  if (scenario) {
    bus = iapflash::MakeSimulatedBus(*scenario, clock);
    if (!bus) {
      std::fprintf(stderr, "iapflash-gui: no simulation scenario named \"%s\"\n",
                   scenario->c_str());
      return 2;
    }
  }
  iapflash::SerialPorts& ports = bus ? bus->Ports() : iapflash::SystemSerialPorts();
  iapflash::DeviceTree& tree = bus ? bus->Tree() : iapflash::SystemDeviceTree();

  // Declared after the bus, so the window (and its worker) ends before the bus does.
  iapflash::MainWindow window(ports, tree, clock);
  if (parsed.file) window.SetFilePathText(*parsed.file);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    window.move(screen->availableGeometry().center() - window.rect().center());
  }
  window.show();
  return QApplication::exec();
}
