#pragma once

#include <string>

namespace iapflash::cli {

// `iapflash info`: what the loader makes of a file, on stdout; 0 when it accepts the file,
// 1 when it refuses it.
int RunInfo(const std::string& file);

}  // namespace iapflash::cli
