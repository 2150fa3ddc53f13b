#include "log/run_events.h"

namespace iapflash {

const char* StepName(RunStep step) {
  switch (step) {
    case RunStep::ReadFile:
      return "read_file";
    case RunStep::OpenLink:
      return "open_link";
    case RunStep::Start:
      return "start";
    case RunStep::Program:
      return "program";
    case RunStep::Verify:
      return "verify";
    case RunStep::End:
      return "end";
    case RunStep::CloseLink:
      return "close_link";
  }
  return "";
}

const char* LayerName(FailureLayer layer) {
  switch (layer) {
    case FailureLayer::None:
      return "none";
    case FailureLayer::Image:
      return "image";
    case FailureLayer::Selection:
      return "selection";
    case FailureLayer::Port:
      return "port";
    case FailureLayer::ModeSwitch:
      return "mode_switch";
    case FailureLayer::Link:
      return "link";
    case FailureLayer::Device:
      return "device";
  }
  return "";
}

}  // namespace iapflash
