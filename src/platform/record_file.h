#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/system_error.h"

namespace iapflash {

// A file of records, one line each, that only ever grows by whole lines: each Append reaches the
// disk before it returns, so a crash or power cut leaves the lines appended so far and at most
// the one being written cut short; opening cuts such a last line off first.
class RecordFile {
 public:
  virtual ~RecordFile() = default;
  // Appends text (whole lines, each ending in "\n") and flushes it to the disk. False, with the
  // system's code, when it could not be written whole.
  virtual bool Append(std::string_view text, SystemError& error) = 0;
};

// Opens utf8Path for appending, creating it when missing. Null, with the system's code, when it
// cannot be opened for reading and writing.
std::unique_ptr<RecordFile> OpenRecordFile(const std::string& utf8Path, SystemError& error);

}  // namespace iapflash
