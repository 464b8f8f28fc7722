#include "devnodes/dev_walk.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr char TAVU_DEV[] = "/dev";
constexpr char TAVU_MOUNT_TABLE[] = "/proc/self/mountinfo";
constexpr mode_t TAVU_DIRECTORY_MODE = 0755;
constexpr int TAVU_LEVEL_FLAGS = O_PATH | O_DIRECTORY | O_CLOEXEC;

// /dev as a path reached it when last opened. Start-up opens it before the
// worker exists; from then on the worker alone uses it.
tavuDevLevel g_devRoot;
// Polled before each use: the kernel marks it at every mount and unmount,
// after which /dev may be another file system. -1: there is no telling, so
// /dev is opened again every time.
int g_mountTable = -1;
bool g_mountTableOpened = false;
// Kernels before 5.6 have no openat2: the walk then goes level by level.
bool g_openat2Missing = false;

bool tavuMountsChanged() {
  if (g_mountTable < 0) return true;
  pollfd table{g_mountTable, POLLPRI, 0};
  return poll(&table, 1, 0) != 0;  // -1: cannot tell, so look again
}

int tavuReopenDevRoot() {
  int fd = open(TAVU_DEV, TAVU_LEVEL_FLAGS);
  if (fd == -1 && errno == ENOENT) {
    errno = 0;
    (void)mkdir(TAVU_DEV, TAVU_DIRECTORY_MODE);
    fd = open(TAVU_DEV, TAVU_LEVEL_FLAGS);
  }
  struct stat status {};
  const int error = fd == -1 ? errno : fstat(fd, &status) != 0 ? errno : 0;
  if (error != 0 && fd != -1) close(fd);
  if (g_devRoot.iv_fd != -1) close(g_devRoot.iv_fd);
  g_devRoot.iv_fd = error == 0 ? fd : -1;
  g_devRoot.iv_status = status;
  return error;
}

// One call for the whole way down: no link, nothing above the start, no
// other mount.
int tavuOpenBeneath(int dirFd, const std::string& path) {
  open_how how{};
  how.flags = TAVU_LEVEL_FLAGS;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_XDEV;
  return static_cast<int>(syscall(SYS_openat2, dirFd, path.c_str(), &how, sizeof how));
}

std::string tavuJoinLevels(const std::vector<std::string>& levels) {
  std::string path;
  for (const std::string& name : levels) path += (path.empty() ? "" : "/") + name;
  return path;
}

// Goes one level down from `parent`, making it first when it is missing and
// `make` says so; the file system is checked by hand, as no flag does it.
int tavuDescend(const tavuDevLevel& parent, const std::string& name, bool make,
                tavuDevLevel* child) {
  const int flags = TAVU_LEVEL_FLAGS | O_NOFOLLOW;
  int fd = openat(parent.iv_fd, name.c_str(), flags);
  if (fd == -1 && errno == ENOENT && make) {
    errno = 0;
    if (mkdirat(parent.iv_fd, name.c_str(), TAVU_DIRECTORY_MODE) == 0) {
      tavuOwnAsParentGives(parent, name.c_str());
    }
    fd = openat(parent.iv_fd, name.c_str(), flags);
  }
  if (fd == -1) return -1;
  if (fstat(fd, &child->iv_status) != 0 || child->iv_status.st_dev != g_devRoot.iv_status.st_dev) {
    close(fd);
    return -1;
  }
  child->iv_fd = fd;
  child->iv_owned = true;
  return fd;
}

// Level by level: where openat2 is missing, and to make missing levels.
bool tavuWalkLevels(const std::vector<std::string>& levels, bool make, tavuDevLevel* level) {
  tavuDevLevel current = g_devRoot;
  for (const std::string& name : levels) {
    tavuDevLevel child;
    const int fd = tavuDescend(current, name, make, &child);
    tavuCloseDevLevel(current);
    if (fd == -1) return false;
    current = child;
  }
  *level = current;
  return true;
}

}  // namespace

int tavuOpenDevRoot() {
  if (!g_mountTableOpened) {
    g_mountTableOpened = true;
    g_mountTable = open(TAVU_MOUNT_TABLE, O_RDONLY | O_CLOEXEC);
  }
  return tavuReopenDevRoot();
}

bool tavuDevRootNow() {
  if (g_devRoot.iv_fd != -1 && !tavuMountsChanged()) return true;
  return tavuOpenDevRoot() == 0;
}

std::vector<std::string> tavuLevelsBelowDev(const std::string& directory) {
  std::vector<std::string> levels;
  std::string::size_type begin = sizeof TAVU_DEV;
  while (begin < directory.size()) {
    std::string::size_type end = directory.find('/', begin);
    if (end == std::string::npos) end = directory.size();
    if (end > begin) levels.push_back(directory.substr(begin, end - begin));
    begin = end + 1;
  }
  return levels;
}

bool tavuOpenDevLevel(const std::vector<std::string>& levels, bool make, bool status,
                      tavuDevLevel* level) {
  if (g_devRoot.iv_fd == -1) return false;
  if (levels.empty()) {
    *level = g_devRoot;
    return true;
  }
  const int fd = g_openat2Missing ? -1 : tavuOpenBeneath(g_devRoot.iv_fd, tavuJoinLevels(levels));
  if (fd == -1) {
    g_openat2Missing = g_openat2Missing || errno == ENOSYS;
    const bool walk = g_openat2Missing || (make && errno == ENOENT);
    return walk && tavuWalkLevels(levels, make, level);
  }
  level->iv_fd = fd;
  level->iv_owned = true;
  if (status && fstat(fd, &level->iv_status) != 0) {
    close(fd);
    return false;
  }
  return true;
}

void tavuCloseDevLevel(const tavuDevLevel& level) {
  if (level.iv_owned) close(level.iv_fd);
}

void tavuOwnAsParentGives(const tavuDevLevel& parent, const char* name) {
  static const bool rootCredentials = geteuid() == 0 && getegid() == 0;
  const bool setGroup = (parent.iv_status.st_mode & S_ISGID) != 0;
  const bool rootsDirectory = parent.iv_status.st_uid == 0;
  if (rootCredentials && (rootsDirectory || !setGroup)) return;
  const gid_t group = setGroup && rootsDirectory ? static_cast<gid_t>(-1) : 0;
  (void)fchownat(parent.iv_fd, name, 0, group, AT_SYMLINK_NOFOLLOW);
}
