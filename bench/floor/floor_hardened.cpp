// The hardened floor: the daemon's walk, call for call, and nothing more.
// /dev is held open and opened again only after the mount table changed;
// a node's directory is opened below it by one openat2 that follows no
// link and enters no other file system, and then kept open until the
// kernel reports its name in /dev removed, renamed or changed. One poll
// per event asks the mount table and those reports together. The floor's
// directories are one level deep ("tts"); it keeps one.
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "floor_nodes.h"

namespace {

constexpr int TAVU_FLOOR_DIR_FLAGS = O_PATH | O_DIRECTORY | O_CLOEXEC;

int g_devFd = -1;
struct stat g_devStatus {};
int g_mountTableFd = -1;
int g_devWatchFd = -1;
int g_devWatchId = -1;
bool g_openat2Missing = false;  // kernels before 5.6
// The directory kept open, its name and its status.
int g_keptFd = -1;
std::string g_keptName;
struct stat g_keptStatus {};

void tavuForgetKept() {
  if (g_keptFd >= 0) close(g_keptFd);
  g_keptFd = -1;
}

// A link at /dev itself is followed: only root can make one.
bool tavuOpenDev() {
  tavuForgetKept();
  if (g_devFd >= 0) close(g_devFd);
  g_devFd = open("/dev", TAVU_FLOOR_DIR_FLAGS);
  if (g_devFd < 0 && errno == ENOENT && mkdir("/dev", TAVU_FLOOR_DIR_MODE) == 0) {
    g_devFd = open("/dev", TAVU_FLOOR_DIR_FLAGS);
  }
  if (g_devWatchId >= 0) (void)inotify_rm_watch(g_devWatchFd, g_devWatchId);
  const std::string path = "/proc/self/fd/" + std::to_string(g_devFd);
  g_devWatchId = inotify_add_watch(
      g_devWatchFd, path.c_str(),
      IN_DELETE | IN_MOVED_FROM | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
  return g_devFd >= 0 && g_devWatchId >= 0 && fstat(g_devFd, &g_devStatus) == 0;
}

// Lets go of the kept directory when reported on; false when /dev itself
// was, or reports were lost.
bool tavuReadDevWatch() {
  alignas(inotify_event) char reports[4096];
  constexpr ssize_t TAVU_FULL = sizeof reports - (sizeof(inotify_event) + NAME_MAX + 1);
  bool devStands = true;
  ssize_t length = 0;
  do {
    length = read(g_devWatchFd, reports, sizeof reports);
    for (ssize_t at = 0; at < length;) {
      const auto* report = reinterpret_cast<const inotify_event*>(reports + at);
      at += static_cast<ssize_t>(sizeof *report + report->len);
      if (report->wd != g_devWatchId && (report->mask & IN_Q_OVERFLOW) == 0) continue;
      if (report->len == 0) devStands = false;
      if (report->len != 0 && g_keptName == report->name) tavuForgetKept();
    }
  } while (length > TAVU_FULL);
  return devStands;
}

// One poll asks both: the mount table, which the kernel marks at every
// mount and unmount (after which /dev may be another file system), and the
// reports on /dev.
void tavuFollowChanges() {
  pollfd reporters[2] = {{g_mountTableFd, POLLPRI, 0}, {g_devWatchFd, POLLIN, 0}};
  const int ready = poll(reporters, 2, 0);
  if (ready != 0 && (ready < 0 || reporters[0].revents != 0 || !tavuReadDevWatch())) {
    (void)tavuOpenDev();
  }
}

// Without openat2: no link followed, and the file system checked by hand.
int tavuOpenLevel(const char* dir) {
  const int fd = openat(g_devFd, dir, TAVU_FLOOR_DIR_FLAGS | O_NOFOLLOW);
  struct stat status {};
  if (fd < 0 || (fstat(fd, &status) == 0 && status.st_dev == g_devStatus.st_dev)) return fd;
  close(fd);
  errno = EXDEV;
  return -1;
}

int tavuOpenDir(const char* dir) {
  if (g_openat2Missing) return tavuOpenLevel(dir);
  open_how how{};
  how.flags = TAVU_FLOOR_DIR_FLAGS;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_XDEV;
  const long fd = syscall(SYS_openat2, g_devFd, dir, &how, sizeof how);
  if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
  g_openat2Missing = true;
  return tavuOpenLevel(dir);
}

// A set-group-id directory of another user's would give what is made in it
// its group: that is handed to root.
void tavuOwnByRoot(int dirFd, const struct stat& dir, const char* name) {
  if ((dir.st_mode & S_ISGID) != 0 && dir.st_uid != 0) {
    (void)fchownat(dirFd, name, 0, 0, AT_SYMLINK_NOFOLLOW);
  }
}

// The directory `dir` of /dev and its status: the kept one, else walked
// to (made first when `make` and missing) and kept.
int tavuDirNow(const char* dir, bool make, struct stat* status) {
  if (g_keptFd >= 0 && g_keptName == dir) {
    *status = g_keptStatus;
    return g_keptFd;
  }
  tavuForgetKept();
  int fd = tavuOpenDir(dir);
  if (fd < 0 && make && errno == ENOENT && mkdirat(g_devFd, dir, TAVU_FLOOR_DIR_MODE) == 0) {
    tavuOwnByRoot(g_devFd, g_devStatus, dir);
    fd = tavuOpenDir(dir);
  }
  if (fd < 0 || fstat(fd, status) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  g_keptFd = fd;
  g_keptName = dir;
  g_keptStatus = *status;
  return fd;
}

void tavuAdd(const char* dir, const char* name, dev_t device) {
  struct stat status {};
  const int fd = tavuDirNow(dir, true, &status);
  if (fd >= 0 && mknodat(fd, name, TAVU_FLOOR_NODE_MODE, device) == 0) {
    tavuOwnByRoot(fd, status, name);
  }
}

void tavuRemove(const char* dir, const char* name) {
  struct stat status {};
  const int fd = tavuDirNow(dir, false, &status);
  if (fd < 0) return;
  (void)unlinkat(fd, name, 0);
  (void)unlinkat(g_devFd, dir, AT_REMOVEDIR);  // ENOTEMPTY while other nodes are there
}

}  // namespace

bool tavuHardenedStart() {
  g_mountTableFd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
  g_devWatchFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  return g_mountTableFd >= 0 && g_devWatchFd >= 0 && tavuOpenDev();
}

void tavuHardenedAdd(char* node, size_t dirEnd, dev_t device) {
  tavuFollowChanges();
  node[dirEnd] = '\0';
  tavuAdd(node + TAVU_FLOOR_DEV_LENGTH, node + dirEnd + 1, device);
  node[dirEnd] = '/';
}

void tavuHardenedRemove(char* node, size_t dirEnd) {
  tavuFollowChanges();
  node[dirEnd] = '\0';
  tavuRemove(node + TAVU_FLOOR_DEV_LENGTH, node + dirEnd + 1);
  node[dirEnd] = '/';
}
