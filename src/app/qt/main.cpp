// iapflash-gui [--simulate[=SCENARIO]]: the operator's window. Without arguments it works on the
// machine's serial ports; with --simulate on a simulated bus ("demo" unless named).

#include <QApplication>
#include <QScreen>
#include <QStringList>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "iapflash_version.h"
#include "main_window.h"
#include "platform/clock.h"
#include "platform/device_tree.h"
#include "platform/serial_port.h"
#include "sim/sim_bus.h"

int main(int argc, char** argv) {
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
          "Usage: iapflash-gui [OPTIONS]\n\n"
          "Options:\n"
          "  --simulate[=SCENARIO]  Use the simulated bus instead of the machine's devices\n"
          "                         (scenario demo unless named)\n"
          "  --help                 Print this help message and exit\n"
          "  --version              Print the version and exit\n");
      return 0;
    }
  }
  QApplication app(argc, argv);

  std::optional<std::string> scenario;
  const QStringList arguments = QCoreApplication::arguments().mid(1);
  for (const QString& argument : arguments) {
    if (argument == QLatin1String("--simulate")) {
      scenario = "demo";
    } else if (argument.startsWith(QLatin1String("--simulate="))) {
      scenario = argument.mid(11).toStdString();
    } else {
      std::fprintf(stderr, "usage: iapflash-gui [--simulate[=SCENARIO]]\n");
      return 2;
    }
  }

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
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    window.move(screen->availableGeometry().center() - window.rect().center());
  }
  window.show();
  return QApplication::exec();
}
