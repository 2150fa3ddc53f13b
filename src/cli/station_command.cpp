#include "cli/station_command.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "cli/commands.h"
#include "cli/interrupts.h"
#include "cli/loader_view.h"
#include "cli/pack_command.h"
#include "cli/station_screen_link.h"
#include "cli/station_view.h"
#include "cli/terminal.h"
#include "platform/cancel_switch.h"
#include "platform/hotplug.h"
#include "platform/record_file.h"
#include "sim/sim_bus.h"
#include "station/board_watch.h"
#include "station/station_run.h"

namespace iapflash::cli {
namespace {

// The file as the runs' loader takes it, read once: its bytes go into every board. Its lines on
// stderr when the loader refuses it.
std::optional<StationImage> LoadImage(const std::string& file, std::vector<uint8_t>& bytes) {
  std::string problem;
  const bool read = ReadWholeFile(file, bytes, problem);
  // A file that cannot be read whole is the loader's to refuse, with its own words.
  const LoaderView view = read ? LoadBytesLikeTheLoader(file, bytes) : LoadLikeTheLoader(file);
  if (!view.accepted) {
    for (const std::string& line : view.lines) WriteText(stderr, "iapflash: " + line + "\n");
    WriteText(stderr,
              "iapflash: the station needs an update file the loader accepts: " + file + "\n");
    return std::nullopt;
  }
  return StationImage{file, static_cast<uint32_t>(view.image.size()), view.checksum};
}

// A batch whose records are not all on the disk has not done what it was asked, however its
// runs went.
int BatchStatus(const Tallies& tallies, uint64_t recordsLost) {
  return tallies.failed == 0 && tallies.interrupted == 0 && recordsLost == 0 ? EXIT_RUN_SUCCEEDED
                                                                             : EXIT_RUN_FAILED;
}

}  // namespace

int RunStation(const StationOptions& options) {
  std::unique_ptr<SimulatedBus> bus;
  if (options.scenario) {
    bus = MakeSimulatedBus(*options.scenario, SystemClock());
    if (!bus) return EXIT_USAGE;
  }
  std::vector<uint8_t> file;
  const std::optional<StationImage> image = LoadImage(options.file, file);
  if (!image) return EXIT_RUN_FAILED;
  std::unique_ptr<RecordFile> records;
  if (!options.records.empty()) {
    SystemError error = 0;
    records = OpenRecordFile(options.records, error);
    if (!records) {
      WriteText(stderr, "iapflash: --records: cannot open " + options.records + ": " +
                            SystemErrorText(error) + "\n");
      return EXIT_RUN_FAILED;
    }
  }

  std::unique_ptr<web::StationScreen> screen;
  std::unique_ptr<ScreenRecords> screenRecords;
  RecordFile* recordFile = records.get();
  if (options.http) {
    screen = StartStationScreen(*options.http);
    if (!screen) return EXIT_RUN_FAILED;
    screenRecords = std::make_unique<ScreenRecords>(records.get(), *screen);
    recordFile = screenRecords.get();
  }
  const auto toScreen = [&screen](std::string_view line) { screen->PublishEvent(line); };

  SerialPorts& ports = bus ? bus->Ports() : SystemSerialPorts();
  DeviceTree& tree = bus ? bus->Tree() : SystemDeviceTree();
  // A signal cancels every run through this switch: each ends through its own failure path,
  // gives its port back and is recorded as interrupted.
  // The station's output goes through one writer, as flash's does: no slot ever waits for a
  // reader, and a signal still ends the station when nobody reads.
  OutputQueue output(&WriteStream);
  CancelSwitch cancel(ports, SystemClock());
  const InterruptWatch interrupts(cancel, [&output] { output.Interrupt(); });

  StationSetup setup{{cancel.Ports(), tree, cancel.GetClock()},
                     options.file,
                     *image,
                     {options.timeoutMs, [&interrupts] { return interrupts.Name(); }},
                     options.count,
                     options.ports,
                     std::move(file)};
  std::unique_ptr<BoardWatch> watch;
  if (options.ports.empty()) {
    watch = std::make_unique<DeviceBoardWatch>(tree);
  } else {
    // Probes open the ports themselves, never through the cancel switch: a look after a signal
    // must not count every board as gone.
    watch = std::make_unique<PortBoardWatch>(ports, tree, options.ports, options.iap);
  }
  // Device events wake the station at once; the simulated bus and --port slots have none.
  std::unique_ptr<HotplugWatch> hotplug;
  if (!bus && options.ports.empty()) hotplug = SystemHotplugWatch();
  if (!hotplug) hotplug = std::make_unique<ClockHotplugWatch>(cancel.GetClock());

  const auto stopped = [&interrupts] { return interrupts.ExitStatus() != 0; };
  const auto wallClock = [] { return std::chrono::system_clock::now(); };
  if (options.json) {
    StationJson view(&output.Stdout(), output.Stderr(), SystemClock());
    if (screen) view.CopyLinesTo(toScreen);
    view.Started(*image, options.count, !options.ports.empty());
    StationRun station(setup, *watch, *hotplug, view, recordFile, stopped, wallClock);
    const Tallies tallies = station.Run();
    const int status = interrupts.ExitStatus() != 0 ? interrupts.ExitStatus()
                                                    : BatchStatus(tallies, station.RecordsLost());
    view.OnTallies(tallies);
    view.Summary(tallies, status);
    if (interrupts.ExitStatus() != 0) {
      output.Stderr().Write("iapflash: the station was interrupted by " + interrupts.Name() + "\n");
    }
    return FinishOutput(output, status, interrupts);
  }
  StationText view(output.Stdout(), output.Stderr(), SystemClock(), StdoutIsTerminal());
  view.Started(options.file, *image);
  // The screen takes the --json objects beside the terminal's view.
  StationJson screenView(nullptr, output.Stderr(), SystemClock());
  BothReports both(view, screenView);
  if (screen) {
    screenView.CopyLinesTo(toScreen);
    screenView.Started(*image, options.count, !options.ports.empty());
  }
  StationRun station(setup, *watch, *hotplug, screen ? static_cast<StationReport&>(both) : view,
                     recordFile, stopped, wallClock);
  const Tallies tallies = station.Run();
  view.Finish(tallies);
  if (screen) {
    screenView.OnTallies(tallies);
    screenView.Summary(tallies, interrupts.ExitStatus() != 0
                                    ? interrupts.ExitStatus()
                                    : BatchStatus(tallies, station.RecordsLost()));
  }
  if (interrupts.ExitStatus() != 0) {
    output.Stderr().Write("iapflash: the station was interrupted by " + interrupts.Name() + "\n");
    return FinishOutput(output, interrupts.ExitStatus(), interrupts);
  }
  return FinishOutput(output, BatchStatus(tallies, station.RecordsLost()), interrupts);
}

}  // namespace iapflash::cli
