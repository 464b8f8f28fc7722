// Making and removing nodes below /dev. Every node operation reaches its
// directory by the walk below: /dev is taken as a path reaches it now (a
// link at /dev itself is followed, only root can make one), and below it no
// link is followed and no other file system is entered, whatever other
// users have put there. A directory, once reached, stays open for as long
// as its name still names it.
#include <fcntl.h>
#include <linux/openat2.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "dev_nodes.h"

namespace {

constexpr char TAVU_DEV[] = "/dev";
constexpr char TAVU_MOUNT_TABLE[] = "/proc/self/mountinfo";
constexpr mode_t TAVU_NODE_MODE = S_IFCHR | 0660;
constexpr mode_t TAVU_DIRECTORY_MODE = 0755;
constexpr int TAVU_LEVEL_FLAGS = O_PATH | O_DIRECTORY | O_CLOEXEC;

// One directory of /dev, open as an O_PATH descriptor that stays open: /dev
// itself, or a kept directory.
struct tavuDevLevel {
  int iv_fd = -1;
  struct stat iv_status {};  // what it gives what is made in it
};

// /dev as a path reached it when last taken. Start-up takes it before the
// worker exists; from then on the worker alone uses it.
tavuDevLevel g_devRoot;
// Polled before each node operation: the kernel marks it at every mount and
// unmount, after which /dev may be another file system. -1: there is no
// telling, so /dev is taken again every time.
int g_mountTable = -1;
bool g_mountTableOpened = false;
// Kernels before 5.6 have no openat2: each level is then opened with
// O_NOFOLLOW, and its file system compared with /dev's.
bool g_openat2Missing = false;

// Directories below /dev, kept open from one event to the next with the
// status they had when the walk reached them, and found again along the
// way down. Each use first asks whether the name still names that
// directory: one fstatat that follows nothing, from its kept parent (an
// inode held open is never reused), which also gives its status. For a
// name directly in /dev the kernel answers ahead: only root can remove,
// rename or change one, and g_devWatch reports each such change; polled
// with the mount table, it lets a reported name go, and takes /dev again
// after a report on /dev itself or lost reports.
struct tavuKeptLevel {
  std::string iv_path;  // below /dev: "tts", "kwb0/1"
  int iv_fd;
  struct stat iv_status;
};
// -1: names in /dev are asked too.
int g_devWatch = -1;
int g_devWatchId = -1;  // the watch on /dev as last taken
constexpr uint32_t TAVU_DEV_WATCH_EVENTS =
    IN_DELETE | IN_MOVED_FROM | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr size_t TAVU_KEPT_LEVELS = 32;
std::vector<tavuKeptLevel> g_keptLevels;

// Lets go of the kept directory `path` and of those below it, or of every
// one when null.
void tavuForgetKept(const char* path) {
  const std::string::size_type length = path == nullptr ? 0 : std::strlen(path);
  for (auto kept = g_keptLevels.begin(); kept != g_keptLevels.end();) {
    const std::string& own = kept->iv_path;
    if (path != nullptr &&
        (own.compare(0, length, path) != 0 || (own.size() != length && own[length] != '/'))) {
      ++kept;
      continue;
    }
    close(kept->iv_fd);
    kept = g_keptLevels.erase(kept);
  }
}

// The kept directory `path`, whose last level `name` lies in `parent`,
// when the name still names it.
bool tavuKeptNow(const std::string& path, const std::string& name, const tavuDevLevel& parent,
                 tavuDevLevel* level) {
  for (const tavuKeptLevel& kept : g_keptLevels) {
    if (kept.iv_path != path) continue;
    *level = {kept.iv_fd, kept.iv_status};
    if (path == name && g_devWatchId != -1) return true;
    struct stat now {};
    if (fstatat(parent.iv_fd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        now.st_dev == kept.iv_status.st_dev && now.st_ino == kept.iv_status.st_ino) {
      level->iv_status = now;
      return true;
    }
    tavuForgetKept(path.c_str());
    return false;
  }
  return false;
}

// Watches /dev as just taken instead of the one taken before, whose
// reports still queued are then passed over.
void tavuWatchDevRoot() {
  if (g_devWatchId != -1) (void)inotify_rm_watch(g_devWatch, g_devWatchId);
  g_devWatchId = -1;
  if (g_devWatch == -1 || g_devRoot.iv_fd == -1) return;
  const std::string path = "/proc/self/fd/" + std::to_string(g_devRoot.iv_fd);
  g_devWatchId = inotify_add_watch(g_devWatch, path.c_str(), TAVU_DEV_WATCH_EVENTS);
}

// Lets go of every kept directory reported on. False when /dev itself was
// reported on, or reports were lost. The kernel hands out whole reports: a
// read that left room for the largest one took them all.
bool tavuReadDevWatch() {
  alignas(inotify_event) char reports[4096];
  constexpr ssize_t TAVU_FULL = sizeof reports - (sizeof(inotify_event) + NAME_MAX + 1);
  bool devStands = true;
  ssize_t length = 0;
  do {
    length = read(g_devWatch, reports, sizeof reports);
    for (ssize_t at = 0; at < length;) {
      const auto* report = reinterpret_cast<const inotify_event*>(reports + at);
      at += static_cast<ssize_t>(sizeof *report + report->len);
      if (report->wd != g_devWatchId && (report->mask & IN_Q_OVERFLOW) == 0) continue;
      if (report->len == 0) devStands = false;
      if (report->len != 0) tavuForgetKept(report->name);
    }
  } while (length > TAVU_FULL);
  return devStands;
}

// True when nothing was reported since the last look; -1 from poll cannot
// tell, so /dev is taken again.
bool tavuDevUnchanged() {
  if (g_mountTable < 0) return false;
  pollfd reporters[2] = {{g_mountTable, POLLPRI, 0}, {g_devWatch, POLLIN, 0}};
  const int ready = poll(reporters, 2, 0);
  return ready == 0 || (ready > 0 && reporters[0].revents == 0 && tavuReadDevWatch());
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
  tavuForgetKept(nullptr);
  if (g_devRoot.iv_fd != -1) close(g_devRoot.iv_fd);
  g_devRoot.iv_fd = error == 0 ? fd : -1;
  g_devRoot.iv_status = status;
  tavuWatchDevRoot();
  return error;
}

// /dev as a path reaches it now: taken again when the mount table, or /dev
// itself, has changed since it was last taken. False when it cannot be had.
bool tavuDevRootNow() {
  return (g_devRoot.iv_fd != -1 && tavuDevUnchanged()) || tavuOpenDevRoot() == 0;
}

// Gives `name`, just made in `parent`, the owner and group a directory of
// root's gives (root, and the directory's group where it is set-group-id),
// and hands it to root (0:0) in a set-group-id directory of another user's,
// which must not give its group to what the daemon makes.
void tavuOwnAsParentGives(const tavuDevLevel& parent, const char* name) {
  static const bool rootCredentials = geteuid() == 0 && getegid() == 0;
  const bool setGroup = (parent.iv_status.st_mode & S_ISGID) != 0;
  const bool rootsDirectory = parent.iv_status.st_uid == 0;
  if (rootCredentials && (rootsDirectory || !setGroup)) return;
  const gid_t group = setGroup && rootsDirectory ? static_cast<gid_t>(-1) : 0;
  (void)fchownat(parent.iv_fd, name, 0, group, AT_SYMLINK_NOFOLLOW);
}

// The names of the directory levels below /dev of `directory` ("/dev/kwb0/1"
// gives kwb0 and 1; "" and "/dev/" give none); empty levels are skipped as
// a path skips them.
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

// One level down, following no link and entering no other mount; the
// caller compares file systems, which is all that O_NOFOLLOW leaves open.
int tavuOpenBelow(const tavuDevLevel& parent, const std::string& name) {
  if (!g_openat2Missing) {
    open_how how{};
    how.flags = TAVU_LEVEL_FLAGS;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_XDEV;
    const long fd = syscall(SYS_openat2, parent.iv_fd, name.c_str(), &how, sizeof how);
    if (fd != -1 || errno != ENOSYS) return static_cast<int>(fd);
    g_openat2Missing = true;
  }
  return openat(parent.iv_fd, name.c_str(), TAVU_LEVEL_FLAGS | O_NOFOLLOW);
}

// Goes one level down from `parent` into `child`, its status filled,
// making it first when it is missing and `make` says so.
bool tavuDescend(const tavuDevLevel& parent, const std::string& name, bool make,
                 tavuDevLevel* child) {
  int fd = tavuOpenBelow(parent, name);
  if (fd == -1 && errno == ENOENT && make) {
    errno = 0;
    if (mkdirat(parent.iv_fd, name.c_str(), TAVU_DIRECTORY_MODE) == 0) {
      tavuOwnAsParentGives(parent, name.c_str());
    }
    fd = tavuOpenBelow(parent, name);
  }
  if (fd == -1) return false;
  *child = {fd, {}};
  if (fstat(fd, &child->iv_status) == 0 && child->iv_status.st_dev == g_devRoot.iv_status.st_dev) {
    return true;
  }
  close(fd);
  return false;
}

// Opens the directory `levels` below /dev, as last taken, into `level`,
// its status filled: down the kept directories as far as they go, then a
// level at a time, each kept once reached. With `make`, missing levels are
// made (0755). False, with nothing left open, when it cannot be reached
// inside /dev.
bool tavuOpenDevLevel(const std::vector<std::string>& levels, bool make, tavuDevLevel* level) {
  if (g_keptLevels.size() + levels.size() > TAVU_KEPT_LEVELS) tavuForgetKept(nullptr);
  tavuDevLevel current = g_devRoot;
  std::string path;
  for (const std::string& name : levels) {
    path += (path.empty() ? "" : "/") + name;
    tavuDevLevel child;
    if (!tavuKeptNow(path, name, current, &child)) {
      if (!tavuDescend(current, name, make, &child)) return false;
      g_keptLevels.push_back({path, child.iv_fd, child.iv_status});
    }
    current = child;
  }
  *level = current;
  return current.iv_fd != -1;
}

// The node's own name within its directory, or "" when the node path does
// not lie directly in that directory.
std::string tavuNodeName(const std::string& nodePath, const std::string& directory) {
  const std::string& parent = directory.empty() ? std::string(TAVU_DEV) : directory;
  if (nodePath.size() <= parent.size() + 1 || nodePath.compare(0, parent.size(), parent) != 0 ||
      nodePath[parent.size()] != '/') {
    return "";
  }
  const std::string name = nodePath.substr(parent.size() + 1);
  return name.find('/') == std::string::npos ? name : "";
}

// An empty directory means the node lies directly in /dev.
bool tavuAcceptable(const std::string& nodePath, const std::string& directory) {
  return tavuPathInsideDev(nodePath) && (directory.empty() || tavuPathInsideDev(directory));
}

// Deepest first. A level that still holds something holds its parents
// too, so trying them would change nothing; /dev itself is never tried.
void tavuRemoveEmptyLevels(std::vector<std::string> levels) {
  while (!levels.empty()) {
    const std::string name = levels.back();
    levels.pop_back();
    tavuDevLevel parent;
    if (!tavuOpenDevLevel(levels, false, &parent)) continue;
    errno = 0;
    const bool removed = unlinkat(parent.iv_fd, name.c_str(), AT_REMOVEDIR) == 0;
    const bool stays = !removed && (errno == ENOTEMPTY || errno == EEXIST);
    if (stays) return;
  }
}

}  // namespace

int tavuOpenDevRoot() {
  if (!g_mountTableOpened) {
    g_mountTableOpened = true;
    g_mountTable = open(TAVU_MOUNT_TABLE, O_RDONLY | O_CLOEXEC);
    g_devWatch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  }
  return tavuReopenDevRoot();
}

void tavuCreateDevNode(const std::string& nodePath, const std::string& directory, int32_t major,
                       int32_t minor) {
  if (!tavuAcceptable(nodePath, directory) || !tavuDevRootNow()) return;
  tavuDevLevel parent;
  if (!tavuOpenDevLevel(tavuLevelsBelowDev(directory), true, &parent)) return;
  // A name that ends in "." leaves the node nothing but its directories.
  const std::string name = tavuNodeName(nodePath, directory);
  const dev_t device = makedev(static_cast<uint32_t>(major), static_cast<uint32_t>(minor));
  errno = 0;
  if (!name.empty() && mknodat(parent.iv_fd, name.c_str(), TAVU_NODE_MODE, device) == 0) {
    tavuOwnAsParentGives(parent, name.c_str());
  }
}

void tavuRemoveDevNode(const std::string& nodePath, const std::string& directory) {
  if (!tavuAcceptable(nodePath, directory) || !tavuDevRootNow()) return;
  const std::vector<std::string> levels = tavuLevelsBelowDev(directory);
  const std::string name = tavuNodeName(nodePath, directory);
  tavuDevLevel parent;
  if (!name.empty() && tavuOpenDevLevel(levels, false, &parent)) {
    errno = 0;
    unlinkat(parent.iv_fd, name.c_str(), 0);
  }
  tavuRemoveEmptyLevels(levels);
}
