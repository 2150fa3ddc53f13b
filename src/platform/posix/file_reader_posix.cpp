#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/file_reader.h"

namespace iapflash {
namespace {

class PosixReadOnlyFile final : public ReadOnlyFile {
 public:
  PosixReadOnlyFile(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~PosixReadOnlyFile() override { ::close(fd_); }
  PosixReadOnlyFile(const PosixReadOnlyFile&) = delete;
  PosixReadOnlyFile& operator=(const PosixReadOnlyFile&) = delete;

  uint64_t Size() override { return size_; }

  // Reads until size bytes have arrived, the file ends or the system reports an error.
  IoResult Read(uint8_t* buffer, uint32_t size) override {
    IoResult result;
    while (result.count < size) {
      const ssize_t got = ::read(fd_, buffer + result.count, size - result.count);
      if (got < 0) {
        if (errno == EINTR) continue;
        result.error = static_cast<SystemError>(errno);
        return result;
      }
      if (got == 0) break;
      result.count += static_cast<uint32_t>(got);
    }
    result.ok = true;
    return result;
  }

 private:
  int fd_;
  uint64_t size_;
};

}  // namespace

std::unique_ptr<ReadOnlyFile> OpenForReading(const std::string& utf8Path, SystemError& error) {
  // No O_CREAT: a missing file stays missing. O_NONBLOCK keeps a FIFO from blocking the open;
  // it has no effect on the regular files that are read.
  const int fd = ::open(utf8Path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    error = static_cast<SystemError>(errno);
    return nullptr;
  }
  struct stat info {};
  int refusal = 0;
  if (::fstat(fd, &info) != 0) {
    refusal = errno;
  } else if (S_ISDIR(info.st_mode)) {
    refusal = EISDIR;
  } else if (!S_ISREG(info.st_mode)) {
    refusal = EINVAL;  // a device, FIFO or socket is no update file
  }
  if (refusal != 0) {
    ::close(fd);
    error = static_cast<SystemError>(refusal);
    return nullptr;
  }
  return std::make_unique<PosixReadOnlyFile>(fd, static_cast<uint64_t>(info.st_size));
}

// A directory is no update file, as on Windows.
bool FileExists(const std::string& utf8Path) {
  struct stat info {};
  return PathWithinLimit(utf8Path) && ::stat(utf8Path.c_str(), &info) == 0 &&
         !S_ISDIR(info.st_mode);
}

bool PathWithinLimit(const std::string& utf8Path) {
  return utf8Path.size() < PATH_MAX;
}

}  // namespace iapflash
