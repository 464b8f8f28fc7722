// Making and removing nodes below /dev. /dev is taken as a path reaches it
// at each event (a link at /dev itself, which only root can make, is
// followed; a missing /dev is made by the first node it must hold). Below it
// no link is followed and no mount point is crossed, whatever other users
// have put there: each level is opened with openat2, or on kernels before
// 5.6 with O_NOFOLLOW and a comparison of its mount with its parent's. The
// directories reached are kept (dev_kept.cpp); a walk holds at most two
// more in hand.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dev_nodes.h"
#include "dev_walk.h"

namespace {

constexpr char TAVU_DEV[] = "/dev";
constexpr mode_t TAVU_NODE_MODE = S_IFCHR | 0660;
constexpr mode_t TAVU_DIRECTORY_MODE = 0755;
constexpr int TAVU_LEVEL_FLAGS = O_PATH | O_DIRECTORY | O_CLOEXEC;
constexpr unsigned TAVU_STATUS_ASKED =
    STATX_TYPE | STATX_MODE | STATX_UID | STATX_INO | STATX_MNT_ID;

bool g_openat2Missing = false;  // kernels before 5.6
// Whether statx tells mounts: asked once, of the first directory opened,
// and believed only when /proc says the same (an emulator may leave it 0).
int g_mountsTold = -1;

// The mount /proc gives for `fd`; 0 when it cannot be read.
uint64_t tavuProcMountOf(int fd) {
  const std::string path = "/proc/self/fdinfo/" + std::to_string(fd);
  const int info = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (info == -1) return 0;
  char text[512];
  const ssize_t length = read(info, text, sizeof text - 1);
  close(info);
  text[std::max<ssize_t>(length, 0)] = '\0';
  const char* line = std::strstr(text, "mnt_id:");
  return line != nullptr ? std::strtoull(line + 7, nullptr, 10) : 0;
}

bool tavuStatus(int at, const char* path, int flags, tavuDirectory* found) {
  struct statx status {};
  if (statx(at, path, flags | AT_SYMLINK_NOFOLLOW, TAVU_STATUS_ASKED, &status) != 0) return false;
  found->iv_device = makedev(status.stx_dev_major, status.stx_dev_minor);
  found->iv_inode = status.stx_ino;
  found->iv_mount = (status.stx_mask & STATX_MNT_ID) != 0 ? status.stx_mnt_id : 0;
  found->iv_mode = status.stx_mode;
  found->iv_owner = status.stx_uid;
  return true;
}

// Fills in what the kernel says of the directory just opened.
bool tavuIdentify(tavuDirectory* directory) {
  if (!tavuStatus(directory->iv_fd, "", AT_EMPTY_PATH, directory)) return false;
  if (g_mountsTold == -1) {
    g_mountsTold =
        directory->iv_mount != 0 && directory->iv_mount == tavuProcMountOf(directory->iv_fd);
  }
  if (g_mountsTold == 0) directory->iv_mount = 0;
  return true;
}

// Its mount, from /proc where statx did not tell it.
uint64_t tavuMountOf(tavuDirectory* directory) {
  if (directory->iv_mount == 0) directory->iv_mount = tavuProcMountOf(directory->iv_fd);
  return directory->iv_mount;
}

// /dev as a path reaches it now, made first (0755) when it is missing and
// `make` says so.
bool tavuOpenDev(bool make, tavuDirectory* dev) {
  int fd = open(TAVU_DEV, TAVU_LEVEL_FLAGS);
  if (fd == -1 && errno == ENOENT && make) {
    errno = 0;
    (void)mkdir(TAVU_DEV, TAVU_DIRECTORY_MODE);
    fd = open(TAVU_DEV, TAVU_LEVEL_FLAGS);
  }
  if (fd == -1) return false;
  dev->iv_fd = fd;
  if (tavuIdentify(dev)) return true;
  close(fd);
  dev->iv_fd = -1;
  return false;
}

// One level down, following no link and crossing no mount point; without
// openat2 the caller compares mounts, which is all O_NOFOLLOW leaves open.
int tavuOpenLevel(const tavuDirectory& parent, const char* name) {
  if (!g_openat2Missing) {
    open_how how{};
    how.flags = TAVU_LEVEL_FLAGS;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_XDEV;
    const long fd = syscall(SYS_openat2, parent.iv_fd, name, &how, sizeof how);
    if (fd != -1 || errno != ENOSYS) return static_cast<int>(fd);
    g_openat2Missing = true;
  }
  return openat(parent.iv_fd, name, TAVU_LEVEL_FLAGS | O_NOFOLLOW);
}

// Where /proc cannot tell mounts either, file systems are compared.
bool tavuOnParentsMount(tavuDirectory* parent, tavuDirectory* child) {
  if (!g_openat2Missing) return true;
  const uint64_t mount = tavuMountOf(child);
  const uint64_t parentMount = tavuMountOf(parent);
  if (mount == 0 || parentMount == 0) return child->iv_device == parent->iv_device;
  return mount == parentMount;
}

// Gives `name`, just made in `parent`, the owner and group a directory of
// root's gives (root, and the directory's group where it is set-group-id),
// and hands it to root (0:0) in a set-group-id directory of another user's,
// which must not give its group to what the daemon makes.
void tavuOwnAsParentGives(const tavuDirectory& parent, const char* name) {
  static const bool rootCredentials = geteuid() == 0 && getegid() == 0;
  const bool setGroup = (parent.iv_mode & S_ISGID) != 0;
  const bool rootsDirectory = parent.iv_owner == 0;
  if (rootCredentials && (rootsDirectory || !setGroup)) return;
  const gid_t group = setGroup && rootsDirectory ? static_cast<gid_t>(-1) : 0;
  (void)fchownat(parent.iv_fd, name, 0, group, AT_SYMLINK_NOFOLLOW);
}

// Opens `name` in `parent` into `child`, making it first when it is missing
// and `make` says so.
bool tavuOpenBelow(tavuDirectory* parent, const char* name, bool make, tavuDirectory* child) {
  int fd = tavuOpenLevel(*parent, name);
  if (fd == -1 && errno == ENOENT && make) {
    errno = 0;
    if (mkdirat(parent->iv_fd, name, TAVU_DIRECTORY_MODE) == 0) tavuOwnAsParentGives(*parent, name);
    fd = tavuOpenLevel(*parent, name);
  }
  if (fd == -1) return false;
  child->iv_fd = fd;
  if (tavuIdentify(child) && tavuOnParentsMount(parent, child)) return true;
  close(fd);
  return false;
}

// One event's directory, level by level, as far as the walk got.
struct tavuChain {
  std::vector<std::string> iv_levels;  // below /dev: "kwb0", "1"
  std::vector<int> iv_kept;            // the levels kept, from the top (kept ones come first)
  size_t iv_reached = 0;               // levels opened
  tavuDirectory iv_here;               // the last of them, or /dev (-1: not opened)
  bool iv_hereKept = false;
};

void tavuLetGo(tavuChain* chain) {
  if (chain->iv_here.iv_fd != -1 && !chain->iv_hereKept) close(chain->iv_here.iv_fd);
  chain->iv_here = {};
  chain->iv_hereKept = false;
}

void tavuStepDown(tavuChain* chain, const tavuDirectory& next, bool kept) {
  tavuLetGo(chain);
  chain->iv_here = next;
  chain->iv_hereKept = kept;
  if (kept) chain->iv_kept.push_back(next.iv_fd);
  ++chain->iv_reached;
}

// Goes down the chain's levels as far as they lead (through the kept
// directories, then a level at a time), making the missing ones with
// `make`. False when /dev itself cannot be had.
bool tavuDescend(tavuChain* chain, bool make) {
  std::string path;
  for (const std::string& name : chain->iv_levels) {
    path += (path.empty() ? "" : "/") + name;
    const bool top = chain->iv_reached == 0;
    const std::string lookUp = top ? std::string(TAVU_DEV) + "/" + name : name;
    tavuDirectory next;
    if (tavuKeptReach(path, top ? AT_FDCWD : chain->iv_here.iv_fd, lookUp.c_str(), &next)) {
      tavuStepDown(chain, next, true);
      continue;
    }
    if (top && !tavuOpenDev(make, &chain->iv_here)) return false;
    if (!tavuOpenBelow(&chain->iv_here, name.c_str(), make, &next)) return true;
    tavuStepDown(chain, next, tavuKeep(path, next));
  }
  return !chain->iv_levels.empty() || tavuOpenDev(make, &chain->iv_here);
}

// From the level held to its parent: kept, or its "..", which is the
// directory a walk to it went through; /dev itself is left to its path.
bool tavuStepUp(tavuChain* chain) {
  const size_t level = chain->iv_reached - 1;
  const bool parentKept = level > 0 && level - 1 < chain->iv_kept.size();
  const int parent = level == 0   ? -1
                     : parentKept ? chain->iv_kept[level - 1]
                                  : openat(chain->iv_here.iv_fd, "..", TAVU_LEVEL_FLAGS);
  if (level > 0 && parent == -1) return false;
  tavuLetGo(chain);
  chain->iv_here.iv_fd = parent;
  chain->iv_hereKept = parentKept;
  --chain->iv_reached;
  return true;
}

// `name` removed from the level held, or from /dev by its path.
bool tavuRemoveLevel(const tavuChain& chain, const std::string& name) {
  const bool inDev = chain.iv_reached == 0 && chain.iv_here.iv_fd == -1;
  const std::string path = inDev ? std::string(TAVU_DEV) + "/" + name : name;
  errno = 0;
  return unlinkat(inDev ? AT_FDCWD : chain.iv_here.iv_fd, path.c_str(), AT_REMOVEDIR) == 0;
}

// Deepest first: from the level the walk could not open, or else from the
// last it did. A level that still holds something holds its parents too,
// so trying them would change nothing; /dev itself is never tried.
void tavuRemoveEmptyLevels(tavuChain* chain) {
  const size_t levels = chain->iv_levels.size();
  if (levels == 0 || (chain->iv_reached == levels && !tavuStepUp(chain))) return;
  for (;;) {
    const size_t level = chain->iv_reached;
    // A kept level removed is let go by the look-up of the next event.
    if (!tavuRemoveLevel(*chain, chain->iv_levels[level]) &&
        (errno == ENOTEMPTY || errno == EEXIST))
      return;
    if (level == 0 || !tavuStepUp(chain)) return;
  }
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

}  // namespace

bool tavuLookUp(int at, const char* path, tavuDirectory* found) {
  return tavuStatus(at, path, 0, found);
}

bool tavuMountsTold() {
  return g_mountsTold == 1;
}

int tavuDevUsable() {
  const int fd = open(TAVU_DEV, TAVU_LEVEL_FLAGS);
  if (fd == -1) return errno == ENOENT ? 0 : errno;
  close(fd);
  return 0;
}

void tavuCreateDevNode(const std::string& nodePath, const std::string& directory, int32_t major,
                       int32_t minor) {
  if (!tavuAcceptable(nodePath, directory)) return;
  tavuChain chain;
  chain.iv_levels = tavuLevelsBelowDev(directory);
  // A name that ends in "." leaves the node nothing but its directories.
  const std::string name = tavuNodeName(nodePath, directory);
  if (tavuDescend(&chain, true) && chain.iv_reached == chain.iv_levels.size() && !name.empty()) {
    const dev_t device = makedev(static_cast<uint32_t>(major), static_cast<uint32_t>(minor));
    errno = 0;
    if (mknodat(chain.iv_here.iv_fd, name.c_str(), TAVU_NODE_MODE, device) == 0) {
      tavuOwnAsParentGives(chain.iv_here, name.c_str());
    }
  }
  tavuLetGo(&chain);
}

void tavuRemoveDevNode(const std::string& nodePath, const std::string& directory) {
  if (!tavuAcceptable(nodePath, directory)) return;
  tavuChain chain;
  chain.iv_levels = tavuLevelsBelowDev(directory);
  const std::string name = tavuNodeName(nodePath, directory);
  if (tavuDescend(&chain, false)) {
    if (chain.iv_reached == chain.iv_levels.size() && !name.empty()) {
      errno = 0;
      (void)unlinkat(chain.iv_here.iv_fd, name.c_str(), 0);
    }
    tavuRemoveEmptyLevels(&chain);
  }
  tavuLetGo(&chain);
}
