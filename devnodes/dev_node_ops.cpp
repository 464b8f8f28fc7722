// Every node operation reaches its directory through the walk of
// dev_walk.h: whatever links or mounts other users have put under /dev, it
// makes and removes nothing outside it.
#include "devnodes/dev_node_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

#include "devnodes/dev_node_paths.h"
#include "devnodes/dev_walk.h"

namespace {

constexpr mode_t TAVU_NODE_MODE = S_IFCHR | 0660;
constexpr char TAVU_DEV[] = "/dev";

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
    if (!tavuOpenDevLevel(levels, false, false, &parent)) continue;
    errno = 0;
    const bool kept = unlinkat(parent.iv_fd, name.c_str(), AT_REMOVEDIR) != 0 &&
                      (errno == ENOTEMPTY || errno == EEXIST);
    tavuCloseDevLevel(parent);
    if (kept) return;
  }
}

}  // namespace

void tavuCreateDevNode(const std::string& nodePath, const std::string& directory, int32_t major,
                       int32_t minor) {
  if (!tavuAcceptable(nodePath, directory) || !tavuDevRootNow()) return;
  tavuDevLevel parent;
  if (!tavuOpenDevLevel(tavuLevelsBelowDev(directory), true, true, &parent)) return;
  // A name that ends in "." leaves the node nothing but its directories.
  const std::string name = tavuNodeName(nodePath, directory);
  const dev_t device = makedev(static_cast<uint32_t>(major), static_cast<uint32_t>(minor));
  errno = 0;
  if (!name.empty() && mknodat(parent.iv_fd, name.c_str(), TAVU_NODE_MODE, device) == 0) {
    tavuOwnAsParentGives(parent, name.c_str());
  }
  tavuCloseDevLevel(parent);
}

void tavuRemoveDevNode(const std::string& nodePath, const std::string& directory) {
  if (!tavuAcceptable(nodePath, directory) || !tavuDevRootNow()) return;
  const std::vector<std::string> levels = tavuLevelsBelowDev(directory);
  const std::string name = tavuNodeName(nodePath, directory);
  tavuDevLevel parent;
  if (!name.empty() && tavuOpenDevLevel(levels, false, false, &parent)) {
    errno = 0;
    unlinkat(parent.iv_fd, name.c_str(), 0);
    tavuCloseDevLevel(parent);
  }
  tavuRemoveEmptyLevels(levels);
}
