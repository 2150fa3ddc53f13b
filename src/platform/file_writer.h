#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/system_error.h"

namespace iapflash {

// Gives utf8Path the contents data, all or nothing: the bytes go to a new temporary file in the
// same folder, reach the disk, and the temporary file is then renamed over utf8Path. On failure
// (false, error set to the system's code) the temporary file is gone and utf8Path is untouched.
bool WriteFileAtomically(const std::string& utf8Path, const uint8_t* data, std::size_t size,
                         SystemError& error);

// True when both paths lead to one existing file, however they are spelt (links, case, relative
// parts): the file system's identity of the two is compared.
bool SameFile(const std::string& utf8PathA, const std::string& utf8PathB);

}  // namespace iapflash
