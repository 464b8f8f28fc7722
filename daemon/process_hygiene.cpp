#include "daemon/process_hygiene.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>

namespace {

void tavuOpenStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    // open takes the lowest free descriptor: this very one.
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) (void)open("/dev/null", O_RDWR);
  }
}

}  // namespace

void tavuTidyInheritedProcess() {
  tavuOpenStandardDescriptors();
  // A launcher that waits for the end of a pipe it gave would wait for good.
  (void)close_range(STDERR_FILENO + 1, UINT_MAX, 0);
  // A disposition, not a handler: writes to a closed pipe fail with EPIPE.
  (void)signal(SIGPIPE, SIG_IGN);
}
