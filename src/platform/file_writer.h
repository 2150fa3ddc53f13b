#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/system_error.h"

namespace iapflash {

struct AtomicWriteOptions {
  // Replace a file that the user marked read-only (IsReadOnlyFile); Windows refuses to
  // otherwise. The caller decides whether that is wanted.
  bool replaceReadOnly = false;
  // Asked before each piece of the write and before the rename, from the writing thread: true
  // ends the write with CancelledError(), as any failure ends it.
  std::function<bool()> stopped;
};

// Gives utf8Path the contents data, all or nothing: the bytes go to a new temporary file in the
// same folder, reach the disk, and the temporary file is then renamed over utf8Path. On failure
// (false, error set to the system's code) the temporary file is gone and utf8Path is untouched.
// Something other than a file at utf8Path (IsOtherThanFile) is never replaced.
bool WriteFileAtomically(const std::string& utf8Path, const uint8_t* data, std::size_t size,
                         SystemError& error, const AtomicWriteOptions& options = {});

// True when both paths lead to one existing file, however they are spelt (links, case, relative
// parts): the file system's identity of the two is compared.
bool SameFile(const std::string& utf8PathA, const std::string& utf8PathB);

// True when utf8Path names something that exists and is no file: a folder, and on Linux a
// device, a pipe or a socket (a link counts as what it leads to).
bool IsOtherThanFile(const std::string& utf8Path);

// True when utf8Path names an existing file that the user marked read-only, as a copy refuses
// to replace it: on Windows the read-only attribute; elsewhere a file this user may not write,
// or one without any write permission (which even the superuser's copy respects here).
bool IsReadOnlyFile(const std::string& utf8Path);

// The path under which the system keeps a file created as utf8Path: on Windows the last part
// loses its trailing dots and blanks ("new.bin." is new.bin); elsewhere the path as it is.
std::string StoredPath(const std::string& utf8Path);

// The last part of StoredPath(utf8Path): the file's own name, without its folders.
std::string StoredFileName(const std::string& utf8Path);

// utf8Path as seen from the root: relative to the working folder when it is relative.
std::string AbsolutePath(const std::string& utf8Path);

}  // namespace iapflash
