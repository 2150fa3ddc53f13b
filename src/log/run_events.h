#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace iapflash {

// What a download run reports besides its log, typed, for front ends that show progress or write
// machine-readable output. The log lines stay the record for the operator; no front end reads
// them back.

// Steps as the log numbers them.
enum class RunStep : uint8_t {
  ReadFile = 1,
  OpenLink = 2,
  Start = 3,
  Program = 4,
  Verify = 5,
  End = 6,
  CloseLink = 7,
};

struct StepStarted {
  RunStep step;
  bool operator==(const StepStarted&) const = default;
};

struct StepEnded {
  RunStep step;
  bool success;
  bool operator==(const StepEnded&) const = default;
};

enum class ImagePass : uint8_t { Program, Verify };

// Image bytes the device has confirmed in a pass, out of the image's length. Sent with done 0
// when the pass begins and after every packet.
struct PassProgress {
  ImagePass pass;
  uint32_t done;
  uint32_t total;
  bool operator==(const PassProgress&) const = default;
};

enum class PortRole : uint8_t {
  Application,  // the device's application, opened to ask for the mode switch
  Download,     // the boot program's port, the one the image goes through
};

struct PortOpened {
  std::string port;
  PortRole role;
  bool operator==(const PortOpened&) const = default;
};

// How far the mode switch has come: its request went out on the application's port
// (Requested), and the device was found again at its USB location, under port (Found).
enum class SwitchStage : uint8_t { Requested, Found };

struct ModeSwitchStep {
  SwitchStage stage;
  std::string port;  // Found: the boot program's port; empty for Requested
  bool operator==(const ModeSwitchStep&) const = default;
};

// Where a failed run failed.
enum class FailureLayer : uint8_t {
  None,        // the run succeeded
  Image,       // the update file could not be read or is not valid
  Selection,   // no device was selected
  Port,        // the port would not open
  ModeSwitch,  // the application did not answer or the boot program did not appear
  Link,        // a write or read failed, or a reply was short or not the command's
  Device,      // the device answered with an error status
};

// The names the JSON events and the station's records give a run's steps and failure layers.
const char* StepName(RunStep step);
const char* LayerName(FailureLayer layer);

struct RunFinished {
  bool success;
  RunStep failedStep;  // meaningful only when success is false
  FailureLayer layer;
  // For a failed run: the first line its failing step logged after the last point the step had
  // reached (its start, a port opened, the mode switch's request, the device found again),
  // without its leading blanks and the progress dots before it; the mode switch's warning about
  // an unexpected reply is no failure. Empty when the run succeeded.
  std::string failureLine{};
  bool operator==(const RunFinished&) const = default;
};

using RunEvent =
    std::variant<StepStarted, StepEnded, PassProgress, PortOpened, ModeSwitchStep, RunFinished>;

// Receives one run's events, on the run's thread, in the order they happen.
class RunEventSink {
 public:
  virtual ~RunEventSink() = default;
  virtual void OnEvent(const RunEvent& event) = 0;
};

// For runs whose events nobody follows.
class IgnoredRunEvents final : public RunEventSink {
 public:
  void OnEvent(const RunEvent&) override {}
};

}  // namespace iapflash
