// iapflash: the command line. Parses the arguments and hands over to the commands.
#include <CLI/CLI.hpp>
#include <csignal>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/info_command.h"
#include "cli/pack_command.h"
#include "cli/sim_command.h"
#include "cli/station_command.h"
#include "cli/terminal.h"
#include "iapflash_version.h"
#include "link/mode_switch.h"
#include "platform/remote/remote_address.h"
#include "platform/standard_streams.h"
#include "sim/sim_device.h"
#include "web/http_address.h"

namespace {

using namespace iapflash::cli;

constexpr const char* DEFAULT_SCENARIO = "demo";

void AddSimulate(CLI::App& command, std::string& scenario,
                 const char* bareScenario = DEFAULT_SCENARIO) {
  command.add_flag(std::string("--simulate{") + bareScenario + "}", scenario,
                   "Use the simulated bus instead of the machine's devices; scenarios: demo, "
                   "never-returns, wrong-reply, silent-app, two-boot-programs, crowded, hub, "
                   "station");
}

// Why a --port value names no port; empty when it does.
std::string PortNameProblem(const std::string& name) {
  if (name.empty()) return "the port name is empty";
  // "--port --port X": an option where the name belongs, never a port.
  if (name.front() == '-') return "not a port name: " + name;
  // Refused, not trimmed: a blank there is a script's slip, and the system would drop it from
  // some names and not from others.
  constexpr const char* BLANKS = " \t\r\n\v\f";
  if (name.find_first_of(BLANKS) == 0 || name.find_last_of(BLANKS) == name.size() - 1) {
    return "the port name begins or ends with a blank";
  }
  if (name.size() >= iapflash::PORT_NAME_SIZE) {
    return "the port name is longer than " + std::to_string(iapflash::PORT_NAME_SIZE - 1) +
           " characters";
  }
  if (iapflash::IsRemotePortName(name) && !iapflash::ParseRemotePortName(name)) {
    return "not a remote port: rfc2217://HOST:PORT or tcp://HOST:PORT, an IPv6 "
           "address in brackets";
  }
  return "";
}

// A number of seconds that bounds a run.
std::string TimeoutProblem(const std::string& text) {
  if (!TimeoutMs(text)) return "not a number of seconds from 0.001 to 1000000: " + text;
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  iapflash::OpenClosedStandardStreams();
  PrepareUtf8Console();
#if defined(SIGPIPE)
  // A reader of the log that goes away (| head) must not kill a download half done: the run
  // goes on to its end and its exit status, only the log is lost.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  // A fixed name: the usage lines (and the manual page made from them) do not show the path.
  CLI::App app{"Finds IAP download devices and downloads firmware update files into them.",
               "iapflash"};
  // Before the subcommands, which inherit it: "/tmp/fw.bin" is a path, never an option.
  app.allow_windows_style_options(false);
  app.require_subcommand(1);
  app.set_version_flag("--version", "iapflash " IAPFLASH_VERSION_TEXT,
                       "Print the version and exit");

  std::string listScenario;
  CLI::App* list = app.add_subcommand("list", "Find the download devices and list them");
  AddSimulate(*list, listScenario);

  FlashOptions flash;
  std::string flashScenario;
  unsigned device = 0;
  CLI::App* flashCommand =
      app.add_subcommand("flash", "Download an update file into a device, or into several at once");
  flashCommand->add_option("FILE", flash.file, "The update file")->required();
  CLI::Option* deviceOption =
      flashCommand->add_option("--device", device, "Entry N of a fresh scan (default: the last)");
  CLI::Option* portOption =
      flashCommand
          ->add_option("--port", flash.ports,
                       "The device's serial port (ttyACM0, /dev/pts/3, COM5), or one behind a "
                       "serial-to-network server (rfc2217://HOST:PORT, tcp://HOST:PORT); repeat "
                       "it to download into several devices at once")
          ->expected(1)
          ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
          ->check(PortNameProblem);
  CLI::Option* allOption = flashCommand->add_flag(
      "--all", flash.all, "Download into every device of a fresh scan at once");
  deviceOption->excludes(portOption);
  allOption->excludes(deviceOption)->excludes(portOption);
  flashCommand->add_flag("--iap", flash.iap, "The devices at --port already run their boot program")
      ->needs(portOption);
  flashCommand->add_flag("--json", flash.json,
                         "Write one JSON object per line on stdout instead of the log text");
  std::string timeoutText;
  CLI::Option* timeoutOption =
      flashCommand
          ->add_option("--timeout", timeoutText,
                       "Stop each device's run that has not ended after SECONDS, as a failure")
          ->option_text("SECONDS")
          ->check(TimeoutProblem);
  AddSimulate(*flashCommand, flashScenario);

  StationOptions station;
  std::string stationScenario;
  std::string stationTimeout;
  uint64_t stationCount = 0;
  CLI::App* stationCommand = app.add_subcommand(
      "station",
      "Flash each board plugged into a slot once, as it arrives, until Ctrl+C or --count");
  stationCommand->add_option("FILE", station.file, "The update file")->required();
  CLI::Option* stationPorts =
      stationCommand
          ->add_option("--port", station.ports,
                       "A slot: a serial port (ttyACM0, a /dev/serial/by-path link, COM5) or "
                       "one behind a serial-to-network server; repeat it for more slots "
                       "(default: a slot per USB location that devices appear at)")
          ->expected(1)
          ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
          ->check(PortNameProblem);
  stationCommand
      ->add_flag("--iap", station.iap, "The boards at --port already run their boot program")
      ->needs(stationPorts);
  stationCommand
      ->add_option("--records", station.records,
                   "Append a JSON line for every board's run to this file (written whole and "
                   "flushed before the slot takes the next board)")
      ->option_text("PATH");
  CLI::Option* countOption =
      stationCommand
          ->add_option("--count", stationCount,
                       "Stop once N runs have ended; exit 0 when all succeeded, 1 otherwise")
          ->option_text("N")
          ->check(CLI::Range(uint64_t{1}, uint64_t{1000000000}));
  CLI::Option* stationTimeoutOption =
      stationCommand
          ->add_option("--timeout", stationTimeout,
                       "Stop each board's run that has not ended after SECONDS, as a failure")
          ->option_text("SECONDS")
          ->check(TimeoutProblem);
  stationCommand->add_flag("--json", station.json,
                           "Write one JSON object per line on stdout instead of the table");
  std::string stationHttp;
  CLI::Option* httpOption =
      stationCommand
          ->add_option("--http", stationHttp,
                       "Serve the station's live page at [ADDR:]PORT (ADDR: 127.0.0.1 unless "
                       "given; an IPv6 one as [ADDR]:PORT)")
          ->type_name("[ADDR:]PORT")
          ->check([](const std::string& text) -> std::string {
            std::string error;
            return iapflash::web::ParseHttpAddress(text, error) ? "" : error;
          });
  // A bare --simulate shows boards coming and going.
  AddSimulate(*stationCommand, stationScenario, "station");

  PackOptions pack;
  std::string base;
  CLI::App* packCommand = app.add_subcommand(
      "pack", "Make an update file from a build's raw binary or Intel HEX output");
  packCommand
      ->add_option("IN", pack.in,
                   "The build's output: Intel HEX when its name contains .hex or its text begins "
                   "with ':', else a raw binary")
      ->required();
  packCommand
      ->add_option("-o,--output", pack.out,
                   "The update file to write (never IN itself): Intel HEX text when the file's "
                   "own name contains .hex (its folders do not count), else BIN")
      ->type_name("OUT")
      ->required();
  packCommand
      ->add_option("--base", base,
                   "For Intel HEX input, the address of the image's first byte, such as "
                   "0x08004000 (default: the lowest data address)")
      ->type_name("ADDR")
      ->check([](const std::string& text) -> std::string {
        return ParseAddress(text) ? "" : "not a 32-bit address: " + text;
      });
  packCommand->add_flag("--force", pack.force, "Replace OUT even when it is marked read-only");

  std::string infoFile;
  CLI::App* infoCommand = app.add_subcommand(
      "info",
      "Say what the loader makes of an update file: BIN or HEX, image length, checksum, "
      "or why it is refused");
  infoCommand->add_option("FILE", infoFile, "The update file")->required();

  SimOptions sim;
  CLI::App* simCommand = nullptr;
  if (SimCommandSupported()) {
    simCommand = app.add_subcommand(
        "sim", "Serve a simulated device on a pseudo-terminal and print its path");
    simCommand->add_option("--baud", sim.baudRate, "Emulate the line's time at this baud rate")
        ->check(CLI::Range(0u, 10000000u));
    simCommand->add_option("--latency", sim.latencyMs, "Milliseconds before each reply")
        ->check(CLI::Range(0u, 60000u));
    simCommand->add_option("--memory", sim.memoryFile,
                           "When ended, write the device's flash memory to this file");
    simCommand
        ->add_option("--fault", sim.faults,
                     "Inject a fault: status:CMD[:OFFSET]:STATUS, silent:CMD, short:CMD, "
                     "echo:CMD, garbage:CMD, disconnect:BYTES, slow-start:MS")
        ->check([](const std::string& text) -> std::string {
          return iapflash::ParseSimFault(text) ? "" : "unknown fault: " + text;
        });
  }

  std::vector<std::string> arguments = Utf8Arguments(argc, argv);
  std::string program = argc > 0 && argv[0] ? argv[0] : "iapflash";
  std::vector<char*> argumentPointers{program.data()};
  for (std::string& argument : arguments) argumentPointers.push_back(argument.data());
  try {
    app.parse(static_cast<int>(argumentPointers.size()), argumentPointers.data());
  } catch (const CLI::ParseError& error) {
    // Help goes to stdout with status 0; every other error is a usage error.
    return app.exit(error, std::cout, std::cerr) == 0 ? 0 : EXIT_USAGE;
  }

  auto scenarioOf = [](const CLI::App& command,
                       const std::string& scenario) -> std::optional<std::string> {
    if (command.count("--simulate") == 0) return std::nullopt;
    return scenario;
  };
  auto knownScenario = [](const std::optional<std::string>& scenario) {
    if (!scenario || ScenarioExists(*scenario)) return true;
    std::cerr << "--simulate: unknown scenario \"" << *scenario << "\"\n"
              << "Run with --help for more information.\n";
    return false;
  };

  if (list->parsed()) {
    const auto scenario = scenarioOf(*list, listScenario);
    if (!knownScenario(scenario)) return EXIT_USAGE;
    return RunList(scenario);
  }
  if (flashCommand->parsed()) {
    flash.scenario = scenarioOf(*flashCommand, flashScenario);
    if (!knownScenario(flash.scenario)) return EXIT_USAGE;
    if (deviceOption->count() > 0) flash.device = device;
    if (timeoutOption->count() > 0) {
      flash.timeoutMs = TimeoutMs(timeoutText);
    }
    if (const auto twice = PortNamedTwice(flash.ports)) {
      std::cerr << "--port: " << *twice << " is named twice\n"
                << "Run with --help for more information.\n";
      return EXIT_USAGE;
    }
    return RunFlash(flash);
  }
  if (stationCommand->parsed()) {
    station.scenario = scenarioOf(*stationCommand, stationScenario);
    if (!knownScenario(station.scenario)) return EXIT_USAGE;
    if (countOption->count() > 0) station.count = stationCount;
    if (stationTimeoutOption->count() > 0) station.timeoutMs = TimeoutMs(stationTimeout);
    if (const auto twice = PortNamedTwice(station.ports)) {
      std::cerr << "--port: " << *twice << " is named twice\n"
                << "Run with --help for more information.\n";
      return EXIT_USAGE;
    }
    if (httpOption->count() > 0) {
      std::string error;
      station.http = iapflash::web::ParseHttpAddress(stationHttp, error);
    }
    return RunStation(station);
  }
  if (packCommand->parsed()) {
    if (!base.empty()) pack.base = ParseAddress(base);
    return RunPack(pack);
  }
  if (infoCommand->parsed()) return RunInfo(infoFile);
  if (simCommand && simCommand->parsed()) return RunSimCommand(sim);
  return EXIT_USAGE;
}
