#include "cli/info_command.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/loader_view.h"
#include "cli/pack_command.h"

namespace iapflash::cli {

int RunInfo(const std::string& file) {
  const LoaderView view = LoadLikeTheLoader(file);
  std::printf("file: %s\n", file.c_str());
  std::printf("kind: %s\n",
              view.hex ? "HEX (the path contains .hex)" : "BIN (the path does not contain .hex)");
  for (const std::string& line : view.lines) {
    const std::size_t text = line.find_first_not_of(' ');
    std::printf("loader: %s\n", text == std::string::npos ? "" : line.c_str() + text);
  }
  if (view.accepted) {
    std::printf("image length: %u bytes\n", static_cast<unsigned>(view.image.size()));
    std::printf("checksum: %s (%u)\n", Hex32(view.checksum).c_str(),
                static_cast<unsigned>(view.checksum));
    std::printf("verdict: accepted\n");
    return EXIT_RUN_SUCCEEDED;
  }
  std::vector<uint8_t> bytes;
  std::string problem;
  if (view.hex && ReadWholeFile(file, bytes, problem)) {
    if (const auto stop = StrictHexStop(bytes)) {
      std::printf("stops at: line %u, column %u of the HEX text (file offset %u): %s\n",
                  static_cast<unsigned>(stop->line), static_cast<unsigned>(stop->column),
                  static_cast<unsigned>(stop->fileOffset), stop->reason.c_str());
    }
  }
  std::printf("verdict: refused\n");
  return EXIT_RUN_FAILED;
}

}  // namespace iapflash::cli
