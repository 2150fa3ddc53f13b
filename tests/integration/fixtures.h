#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/pty_server_posix.h"
#include "sim/sim_device.h"
#include "temp_folder.h"

namespace iapflash::testing {

// How soon a signal must end a run that waits for a device or a server: a wait left to run out
// takes 2 s at least (an open's answer; a reply's read 8 s). Ending through the run's own close
// has taken up to 0.62 s under AddressSanitizer on a machine busy with builds.
inline constexpr int64_t SIGNAL_ENDS_RUN_WITHIN_MS = 1000;

// An image of length bytes in which every byte value occurs (a different order in each block
// of 256, so a misplaced chunk shows).
std::vector<uint8_t> EveryValueImage(uint32_t length);

// Writes an update file: the 512-byte header "IAP_UPDATA_FILE" then the raw image.
void WriteUpdateFile(const std::filesystem::path& path, const std::vector<uint8_t>& image);

// A SimDevice served on a pseudo-terminal for the length of a test.
struct ServedDevice {
  explicit ServedDevice(SimWireTiming timing = {}, const std::vector<std::string>& faults = {});
  std::shared_ptr<SimDevice> device;
  std::unique_ptr<PtyServer> server;
  const std::string& Path() const { return server->Path(); }
};

// Whether the condition holds within timeoutMs, asked every millisecond: the bridge thread may
// still be taking the last bytes that an exited program wrote.
bool Eventually(const std::function<bool()>& condition, int timeoutMs = 2000);

// stdout split at "\n" (a last line without its end included).
std::vector<std::string> Lines(const std::string& text);

// Whether the patterns match lines in their order, other lines allowed between them. A trailing
// '*' in a pattern matches any rest; dots before a line are ignored unless the pattern has them.
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& patterns);

// text with the progress dots that begin the line after stepLine (the dots of a wait, as many
// as real time allowed) replaced by shown.
std::string WaitDotsAs(std::string text, const std::string& stepLine, const std::string& shown);

// Runs the JSON events schema's validator over the text (the program's JSON_VALIDATOR and
// JSON_SCHEMA); its complaints, or empty when every line is valid.
std::string SchemaComplaints(const std::string& text);

// The lines every failed run ends with.
extern const std::vector<std::string> FAILURE_SUMMARY;

}  // namespace iapflash::testing
