#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "platform/record_file.h"

namespace iapflash {
namespace {

class PosixRecordFile final : public RecordFile {
 public:
  explicit PosixRecordFile(int fd) : fd_(fd) {}
  ~PosixRecordFile() override { ::close(fd_); }
  PosixRecordFile(const PosixRecordFile&) = delete;
  PosixRecordFile& operator=(const PosixRecordFile&) = delete;

  bool Append(std::string_view text, SystemError& error) override {
    // A line a failed append left cut short goes first, or the next line would run on from it.
    if (cutTo_ && !Truncate(*cutTo_, error)) return false;
    cutTo_.reset();
    struct stat info {};
    if (::fstat(fd_, &info) != 0) {
      error = static_cast<SystemError>(errno);
      return false;
    }
    // O_APPEND: each write lands at the end, whatever else writes the file.
    while (!text.empty()) {
      const ssize_t written = ::write(fd_, text.data(), text.size());
      if (written < 0) {
        if (errno == EINTR) continue;
        return Undo(info.st_size, error);
      }
      text.remove_prefix(static_cast<std::size_t>(written));
    }
    if (::fdatasync(fd_) != 0) return Undo(info.st_size, error);
    return true;
  }

  // Cuts off a last line without its end: what a crash in the middle of a write leaves.
  bool CutPartialLine(SystemError& error) {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) {
      error = static_cast<SystemError>(errno);
      return false;
    }
    off_t end = info.st_size;
    char block[4096];
    while (end > 0) {
      const off_t start =
          end > static_cast<off_t>(sizeof block) ? end - static_cast<off_t>(sizeof block) : 0;
      const ssize_t got = ::pread(fd_, block, static_cast<std::size_t>(end - start), start);
      if (got != end - start) {
        error = got < 0 ? static_cast<SystemError>(errno) : static_cast<SystemError>(EIO);
        return false;
      }
      for (off_t k = got; k > 0; --k) {
        if (block[k - 1] != '\n') continue;
        const off_t keep = start + k;
        if (keep == info.st_size) return true;  // ends whole
        return Truncate(keep, error);
      }
      end = start;
    }
    return info.st_size == 0 || Truncate(0, error);
  }

 private:
  bool Truncate(off_t size, SystemError& error) {
    if (::ftruncate(fd_, size) != 0 || ::fdatasync(fd_) != 0) {
      error = static_cast<SystemError>(errno);
      return false;
    }
    return true;
  }

  // A full disk or a failed flush: the file is cut back to where the append began, so that it
  // keeps whole lines only; when even that fails, the next append tries again first.
  bool Undo(off_t size, SystemError& error) {
    error = static_cast<SystemError>(errno);
    SystemError ignored = 0;
    if (!Truncate(size, ignored)) cutTo_ = size;
    return false;
  }

  int fd_;
  std::optional<off_t> cutTo_;
};

}  // namespace

std::unique_ptr<RecordFile> OpenRecordFile(const std::string& utf8Path, SystemError& error) {
  const int fd = ::open(utf8Path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) {
    error = static_cast<SystemError>(errno);
    return nullptr;
  }
  auto file = std::make_unique<PosixRecordFile>(fd);
  if (!file->CutPartialLine(error)) return nullptr;
  return file;
}

}  // namespace iapflash
