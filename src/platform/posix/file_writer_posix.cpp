#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/file_writer.h"

namespace iapflash {
namespace {

// Closes the descriptor and removes the temporary file unless it was handed over by a rename.
class TemporaryFile {
 public:
  ~TemporaryFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  bool Create(const std::string& target, SystemError& error) {
    static std::atomic<unsigned> counter{0};
    const std::size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
      // A short name of its own: the target's name may already be as long as a name can be.
      const std::string candidate = folder + ".iapflash-" + std::to_string(::getpid()) + "-" +
                                    std::to_string(counter++) + ".tmp";
      // 0666 less the umask, as any newly made file; O_EXCL never reuses someone's file.
      fd_ = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
      if (fd_ >= 0) {
        path_ = candidate;
        return true;
      }
      if (errno != EEXIST) break;
    }
    error = static_cast<SystemError>(errno);
    return false;
  }
  bool Write(const uint8_t* data, std::size_t size, SystemError& error) {
    while (size > 0) {
      const ssize_t put = ::write(fd_, data, size);
      if (put < 0) {
        if (errno == EINTR) continue;
        error = static_cast<SystemError>(errno);
        return false;
      }
      data += put;
      size -= static_cast<std::size_t>(put);
    }
    // On the disk before the rename, so that a crash leaves the old file or the whole new one.
    int failure = ::fsync(fd_) != 0 ? errno : 0;
    if (::close(fd_) != 0 && failure == 0) failure = errno;
    fd_ = -1;
    if (failure != 0) error = static_cast<SystemError>(failure);
    return failure == 0;
  }
  bool RenameTo(const std::string& target, SystemError& error) {
    if (::rename(path_.c_str(), target.c_str()) != 0) {
      error = static_cast<SystemError>(errno);
      return false;
    }
    path_.clear();
    return true;
  }

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace

bool WriteFileAtomically(const std::string& utf8Path, const uint8_t* data, std::size_t size,
                         SystemError& error) {
  if (utf8Path.empty() || utf8Path.back() == '/') {
    error = EISDIR;
    return false;
  }
  TemporaryFile temporary;
  return temporary.Create(utf8Path, error) && temporary.Write(data, size, error) &&
         temporary.RenameTo(utf8Path, error);
}

bool SameFile(const std::string& utf8PathA, const std::string& utf8PathB) {
  struct stat a {};
  struct stat b {};
  return ::stat(utf8PathA.c_str(), &a) == 0 && ::stat(utf8PathB.c_str(), &b) == 0 &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace iapflash
