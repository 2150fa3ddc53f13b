#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/serial_port.h"
#include "platform/system_error.h"

namespace iapflash {

// A file opened for reading only: existing files only, others may read it but not write it.
// Destroying it closes the file.
class ReadOnlyFile {
 public:
  virtual ~ReadOnlyFile() = default;
  virtual uint64_t Size() = 0;
  virtual IoResult Read(uint8_t* buffer, uint32_t size) = 0;
};

// Null on failure, with error set to the system's code. Never creates or changes a file.
std::unique_ptr<ReadOnlyFile> OpenForReading(const std::string& utf8Path, SystemError& error);

// An existence test that leaves nothing open. False for a path beyond PathWithinLimit.
bool FileExists(const std::string& utf8Path);

// Whether the path is within what the system's file calls take: 32767 UTF-16 units on Windows
// (whether one over 259 opens is the system's to say), PATH_MAX bytes with the terminator on
// Linux. A longer path is refused, never cut, so that a shortened path can never name another
// file.
bool PathWithinLimit(const std::string& utf8Path);

}  // namespace iapflash
