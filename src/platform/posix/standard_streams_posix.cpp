#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/standard_streams.h"

namespace iapflash {

void OpenClosedStandardStreams() {
  for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
    if (fcntl(stream, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is this one, the lower ones being open by now.
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != stream) close(opened);
  }
}

}  // namespace iapflash
