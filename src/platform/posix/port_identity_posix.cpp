#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "platform/port_identity.h"

namespace iapflash {
namespace {

// From the root, with ".", ".." and repeated separators resolved by the letters alone.
std::string LexicalPath(const std::string& path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return (error ? std::filesystem::path(path) : absolute).lexically_normal().string();
}

}  // namespace

std::string LocalPortPath(const std::string& name) {
  return name.find('/') == std::string::npos ? "/dev/" + name : name;
}

bool SameLocalPortDevice(const std::string& a, const std::string& b) {
  const std::string pathA = LocalPortPath(a);
  const std::string pathB = LocalPortPath(b);
  struct stat infoA {};
  struct stat infoB {};
  if (::stat(pathA.c_str(), &infoA) == 0 && ::stat(pathB.c_str(), &infoB) == 0) {
    // A terminal is its device number, whichever node or link names it.
    if (S_ISCHR(infoA.st_mode) && S_ISCHR(infoB.st_mode)) return infoA.st_rdev == infoB.st_rdev;
    return infoA.st_dev == infoB.st_dev && infoA.st_ino == infoB.st_ino;
  }
  return LexicalPath(pathA) == LexicalPath(pathB);
}

}  // namespace iapflash
