#include <cerrno>

#include "platform/file_reader.h"

namespace iapflash {

// Not yet implemented.
std::unique_ptr<ReadOnlyFile> OpenForReading(const std::string&, SystemError& error) {
  error = ENOENT;
  return nullptr;
}
bool FileExists(const std::string&) { return false; }

}  // namespace iapflash
