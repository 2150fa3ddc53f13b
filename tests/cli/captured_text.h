#pragma once

#include <string>
#include <string_view>

#include "cli/output_queue.h"

namespace iapflash::cli {

// A stream that keeps what was written: all of it, and the part that may never be dropped.
struct CapturedText final : TextOut {
  void Write(std::string_view written, TextKind kind = TextKind::Log) override {
    text.append(written);
    if (kind == TextKind::Log) kept.append(written);
  }
  std::string text;
  std::string kept;
};

}  // namespace iapflash::cli
