#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <vector>

#include "platform/file_writer.h"

namespace iapflash {
namespace {

// Between two pieces the write asks whether to stop: an interrupted write ends within one.
constexpr std::size_t WRITE_PIECE = 64 * 1024;

bool Stopped(const AtomicWriteOptions& options, SystemError& error) {
  if (!options.stopped || !options.stopped()) return false;
  error = CancelledError();
  return true;
}

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
  bool Write(const uint8_t* data, std::size_t size, const AtomicWriteOptions& options,
             SystemError& error) {
    while (size > 0) {
      if (Stopped(options, error)) return false;
      const ssize_t put = ::write(fd_, data, std::min(size, WRITE_PIECE));
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
                         SystemError& error, const AtomicWriteOptions& options) {
  if (utf8Path.empty() || utf8Path.back() == '/') {
    error = EISDIR;
    return false;
  }
  // A rename would put a file where a device or a pipe was (as root even /dev/null).
  if (IsOtherThanFile(utf8Path)) {
    error = EEXIST;
    return false;
  }
  TemporaryFile temporary;
  // A rename replaces a read-only file here anyway: replaceReadOnly asks nothing more.
  return temporary.Create(utf8Path, error) && temporary.Write(data, size, options, error) &&
         !Stopped(options, error) && temporary.RenameTo(utf8Path, error);
}

bool SameFile(const std::string& utf8PathA, const std::string& utf8PathB) {
  struct stat a {};
  struct stat b {};
  return ::stat(utf8PathA.c_str(), &a) == 0 && ::stat(utf8PathB.c_str(), &b) == 0 &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool IsOtherThanFile(const std::string& utf8Path) {
  struct stat info {};
  return ::stat(utf8Path.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
}

bool IsReadOnlyFile(const std::string& utf8Path) {
  struct stat info {};
  if (::stat(utf8Path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return false;
  if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return true;
  // Not a read-only file system's refusal: the file's own permissions.
  return ::access(utf8Path.c_str(), W_OK) != 0 && errno == EACCES;
}

std::string StoredPath(const std::string& utf8Path) {
  return utf8Path;
}

std::string StoredFileName(const std::string& utf8Path) {
  const std::size_t slash = utf8Path.rfind('/');
  return slash == std::string::npos ? utf8Path : utf8Path.substr(slash + 1);
}

std::string AbsolutePath(const std::string& utf8Path) {
  if (utf8Path.starts_with('/')) return utf8Path;
  std::vector<char> folder(PATH_MAX);
  if (::getcwd(folder.data(), folder.size()) == nullptr) return utf8Path;
  std::string path = folder.data();
  if (!path.ends_with('/')) path += '/';
  return path + utf8Path;
}

}  // namespace iapflash
