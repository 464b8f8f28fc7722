#include "daemon/process_hygiene.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <vector>

namespace {

void tavuOpenStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    // open takes the lowest free descriptor: this very one.
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) (void)open("/dev/null", O_RDWR);
  }
}

// Kernels before 5.9 have no close_range: the descriptors are listed in
// /proc, or else tried one by one up to the limit.
void tavuCloseOneByOne() {
  std::vector<int> inherited;
  DIR* listing = opendir("/proc/self/fd");
  for (const dirent* entry = listing != nullptr ? readdir(listing) : nullptr; entry != nullptr;
       entry = readdir(listing)) {
    const int fd = std::atoi(entry->d_name);
    if (fd > STDERR_FILENO && fd != dirfd(listing)) inherited.push_back(fd);
  }
  if (listing != nullptr) {
    closedir(listing);
  } else {
    const long limit = sysconf(_SC_OPEN_MAX);
    for (int fd = STDERR_FILENO + 1; fd < limit; ++fd) inherited.push_back(fd);
  }
  for (const int fd : inherited) close(fd);
}

}  // namespace

void tavuTidyInheritedProcess() {
  tavuOpenStandardDescriptors();
  // A launcher that waits for the end of a pipe it gave would wait for good.
  if (close_range(STDERR_FILENO + 1, UINT_MAX, 0) != 0) tavuCloseOneByOne();
  // A disposition, not a handler: writes to a closed pipe fail with EPIPE.
  (void)signal(SIGPIPE, SIG_IGN);
}
