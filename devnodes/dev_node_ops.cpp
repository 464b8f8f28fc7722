// Every node operation walks down from a descriptor of /dev, one directory
// at a time, following no link and leaving /dev's file system nowhere: what
// other users may have put under /dev cannot lead it outside.
#include "devnodes/dev_node_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "devnodes/dev_node_paths.h"

namespace {

constexpr mode_t kNodeMode = S_IFCHR | 0660;
constexpr mode_t kDirectoryMode = 0755;
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr char kDev[] = "/dev";

// The descriptors of /dev and of each directory opened below it, deepest last.
struct tavuDevWalk {
  std::vector<int> iv_fds;
  std::vector<std::string> iv_names;  // iv_names[i] is opened as iv_fds[i + 1]
  dev_t iv_device = 0;
  mode_t iv_deepestMode = 0;

  tavuDevWalk() = default;
  tavuDevWalk(const tavuDevWalk&) = delete;
  tavuDevWalk& operator=(const tavuDevWalk&) = delete;
  ~tavuDevWalk() {
    for (const int fd : iv_fds) close(fd);
  }
  int deepest() const { return iv_fds.back(); }
};

// Takes the directory open as `fd` as the walk's deepest level; the first,
// /dev, names the file system every later one must be on. False, with
// `fd` closed, for one on another file system.
bool tavuEnter(tavuDevWalk* walk, int fd) {
  struct stat status {};
  if (fd == -1) return false;
  if (fstat(fd, &status) != 0 || (!walk->iv_fds.empty() && status.st_dev != walk->iv_device)) {
    close(fd);
    return false;
  }
  if (walk->iv_fds.empty()) walk->iv_device = status.st_dev;
  walk->iv_fds.push_back(fd);
  walk->iv_deepestMode = status.st_mode;
  return true;
}

// Made by the daemon, so owned by root even in a set-group-id directory,
// which would hand it that directory's group. Elsewhere root's own
// credentials already give it that, and the call is saved.
void tavuOwnByRoot(const tavuDevWalk& walk, const char* name) {
  static const bool credentialsAreRoot = geteuid() == 0 && getegid() == 0;
  if (credentialsAreRoot && (walk.iv_deepestMode & S_ISGID) == 0) return;
  (void)fchownat(walk.deepest(), name, 0, 0, AT_SYMLINK_NOFOLLOW);
}

// Goes one directory down, making it first when it is missing and `make`
// is set (most nodes go where a directory already is). False when it is
// missing, a link, not a directory or on another file system.
bool tavuDescend(tavuDevWalk* walk, const std::string& name, bool make) {
  const int parent = walk->deepest();
  int fd = openat(parent, name.c_str(), kDirectoryFlags);
  if (fd == -1 && errno == ENOENT && make) {
    errno = 0;
    if (mkdirat(parent, name.c_str(), kDirectoryMode) == 0) tavuOwnByRoot(*walk, name.c_str());
    fd = openat(parent, name.c_str(), kDirectoryFlags);
  }
  if (!tavuEnter(walk, fd)) return false;
  walk->iv_names.push_back(name);
  return true;
}

// Walks to `directory` ("" for /dev itself), a path below /dev whose
// levels tavuMakeDevNodePath made. False when it stopped short; the levels
// opened so far stay in the walk.
bool tavuWalkTo(tavuDevWalk* walk, const std::string& directory, bool make) {
  if (!tavuEnter(walk, open(kDev, kDirectoryFlags))) return false;
  if (directory.empty()) return true;
  std::string::size_type begin = sizeof kDev;
  while (begin <= directory.size()) {
    std::string::size_type end = directory.find('/', begin);
    if (end == std::string::npos) end = directory.size();
    // An empty level, from a name that starts with a digit or "." or holds
    // "..", is no level, as in any path.
    if (end > begin && !tavuDescend(walk, directory.substr(begin, end - begin), make)) return false;
    begin = end + 1;
  }
  return true;
}

// The node's own name within its directory, or "" when the node path does
// not lie directly in that directory.
std::string tavuNodeName(const std::string& nodePath, const std::string& directory) {
  const std::string& parent = directory.empty() ? std::string(kDev) : directory;
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

// Deepest first, every level the walk reached; one that still holds
// something stays, and so do its parents. /dev itself is never a candidate.
void tavuRemoveDirs(tavuDevWalk* walk) {
  for (std::size_t level = walk->iv_names.size(); level > 0; --level) {
    errno = 0;
    unlinkat(walk->iv_fds[level - 1], walk->iv_names[level - 1].c_str(), AT_REMOVEDIR);
  }
}

}  // namespace

void tavuCreateDevNode(const std::string& nodePath, const std::string& directory, int32_t major,
                       int32_t minor) {
  if (!tavuAcceptable(nodePath, directory)) return;
  const dev_t device = makedev(static_cast<uint32_t>(major), static_cast<uint32_t>(minor));
  tavuDevWalk walk;
  if (!tavuWalkTo(&walk, directory, true)) return;
  // A name that ends in "." leaves the node nothing but its directories.
  const std::string name = tavuNodeName(nodePath, directory);
  if (name.empty()) return;
  errno = 0;
  if (mknodat(walk.deepest(), name.c_str(), kNodeMode, device) == 0) {
    tavuOwnByRoot(walk, name.c_str());
  }
}

void tavuRemoveDevNode(const std::string& nodePath, const std::string& directory) {
  if (!tavuAcceptable(nodePath, directory)) return;
  tavuDevWalk walk;
  const std::string name = tavuNodeName(nodePath, directory);
  if (tavuWalkTo(&walk, directory, false) && !name.empty()) {
    errno = 0;
    unlinkat(walk.deepest(), name.c_str(), 0);
  }
  tavuRemoveDirs(&walk);
}
