#include "cli/pack_command.h"

#include <charconv>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/interrupts.h"
#include "cli/loader_view.h"
#include "image/pack.h"
#include "image/update_file.h"
#include "platform/cancel_switch.h"
#include "platform/clock.h"
#include "platform/file_reader.h"
#include "platform/file_writer.h"
#include "platform/system_error.h"

namespace iapflash::cli {
namespace {

// Far more than the build output of any image a device takes (HEX text runs to about three
// times its data); larger files are refused before they are read.
constexpr uint64_t MAX_INPUT_FILE_SIZE = 64ull << 20;

std::string ErrorText(SystemError code) {
  std::string text = SystemErrorText(code);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

int Refuse(const std::string& where, const std::string& message) {
  std::fprintf(stderr, "iapflash: %s: %s\n", where.c_str(), message.c_str());
  return EXIT_RUN_FAILED;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& problem) {
  SystemError error = 0;
  const std::unique_ptr<ReadOnlyFile> file = OpenForReading(path, error);
  if (!file) {
    problem = "cannot open it: " + ErrorText(error);
    return false;
  }
  const uint64_t size = file->Size();
  if (size > MAX_INPUT_FILE_SIZE) {
    problem = "it is " + std::to_string(size) + " bytes, more than the " +
              std::to_string(MAX_INPUT_FILE_SIZE) + " bytes read here";
    return false;
  }
  bytes.resize(static_cast<std::size_t>(size));
  const IoResult read = file->Read(bytes.data(), static_cast<uint32_t>(size));
  if (!read.ok) {
    problem = "cannot read it: " + ErrorText(read.error);
    return false;
  }
  bytes.resize(read.count);
  return true;
}

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

std::optional<uint32_t> ParseAddress(std::string_view text) {
  int radix = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    radix = 16;
  }
  uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, radix);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

int RunPack(const PackOptions& options) {
  if (SameFile(options.in, options.out)) {
    return Refuse(options.out, "this is the input file itself; pack never overwrites its input");
  }
  if (IsOtherThanFile(options.out)) {
    return Refuse(options.out, "this is no file (a folder, a device or a pipe); pack writes files");
  }
  if (!options.force && IsReadOnlyFile(options.out)) {
    return Refuse(options.out, "the file is read-only; pack replaces it only with --force");
  }
  std::vector<uint8_t> content;
  std::string problem;
  if (!ReadWholeFile(options.in, content, problem)) return Refuse(options.in, problem);

  // The kind follows the file's own name, whatever its folders are called: the name is what
  // the file keeps when it is copied or chosen from another folder.
  const std::string written = StoredPath(options.out);
  const std::string name = StoredFileName(options.out);
  const bool hexPayload = IsHexPath(name);
  const PackResult pack = PackUpdate(
      options.in, std::string_view(reinterpret_cast<const char*>(content.data()), content.size()),
      options.base, hexPayload, MAX_IMAGE_SIZE);
  if (!pack.ok) {
    std::string where = options.in;
    if (pack.line > 0) {
      // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) on ":" + std::string.
      where += ':';
      where += std::to_string(pack.line);
      where += ':';
      where += std::to_string(pack.column);
    }
    return Refuse(where, pack.message);
  }

  // What the download will read under the file's name, checked before anything is written.
  const LoaderView loaded = LoadBytesLikeTheLoader(name, pack.file);
  if (!loaded.accepted || loaded.image != pack.image) {
    std::string said;
    for (const std::string& line : loaded.lines) said += "\n" + line;
    return Refuse(options.out, "the loader would not read back the image; nothing written" + said);
  }

  // A signal during the write ends it with the temporary file removed and OUT as it was.
  CancelSwitch stop(LocalSerialPorts(), SystemClock());
  SystemError error = 0;
  bool done = false;
  int interrupted = 0;
  std::string signal;
  {
    const InterruptWatch interrupts(stop);
    AtomicWriteOptions how;
    how.replaceReadOnly = options.force;
    how.stopped = [&stop] { return stop.Cancelled(); };
    done = WriteFileAtomically(options.out, pack.file.data(), pack.file.size(), error, how);
    interrupted = interrupts.ExitStatus();
    signal = interrupts.Name();
  }
  if (!done && interrupted != 0) {
    std::fprintf(stderr, "iapflash: %s: pack interrupted by %s; the file is as it was\n",
                 options.out.c_str(), signal.c_str());
    return interrupted;
  }
  if (!done) return Refuse(options.out, "cannot write it: " + ErrorText(error));
  if (!PathWithinLimit(written)) {
    std::fprintf(stderr,
                 "iapflash: warning: %s: the path is longer than a download opens; move or "
                 "rename the file before downloading it\n",
                 written.c_str());
  }
  // The loader takes any path that contains .hex for Intel HEX: a BIN file in such a folder is
  // refused by a download that opens it there, under the path given or the full one.
  if (!hexPayload) {
    const std::string full = AbsolutePath(written);
    const std::string& hexPath = IsHexPath(written) ? written : full;
    if (IsHexPath(hexPath)) {
      std::fprintf(stderr,
                   "iapflash: warning: %s: written as BIN, as its name says, but a download reads "
                   "the path %s as Intel HEX (it contains .hex) and refuses the file; move it to "
                   "a folder without .hex in its path before downloading it\n",
                   written.c_str(), hexPath.c_str());
    }
  }
  const std::string from = pack.inputHex ? "Intel HEX at " + Hex32(pack.base) : "a raw binary";
  std::printf("%s: %s update file of %u bytes; image of %u bytes from %s, checksum %s (%u)\n",
              written.c_str(), hexPayload ? "HEX" : "BIN", static_cast<unsigned>(pack.file.size()),
              static_cast<unsigned>(pack.image.size()), from.c_str(),
              Hex32(loaded.checksum).c_str(), static_cast<unsigned>(loaded.checksum));
  return EXIT_RUN_SUCCEEDED;
}

}  // namespace iapflash::cli
