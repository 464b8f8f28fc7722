#include "devnodes/dev_node_ops.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

#include "devnodes/dev_node_paths.h"

namespace {

constexpr mode_t kNodeMode = S_IFCHR | 0660;
constexpr mode_t kDirectoryMode = 0755;

// An empty directory means the node lies directly in /dev.
bool tavuDirectoryAcceptable(const std::string& directory) {
  return directory.empty() || tavuPathInsideDev(directory);
}

}  // namespace

void tavuCreateDevNode(const std::string& nodePath, const std::string& directory, int32_t major,
                       int32_t minor) {
  if (!tavuPathInsideDev(nodePath) || !tavuDirectoryAcceptable(directory)) return;
  const dev_t device = makedev(static_cast<uint32_t>(major), static_cast<uint32_t>(minor));
  tavuMakeDirs(directory);
  errno = 0;
  mknod(nodePath.c_str(), kNodeMode, device);
}

void tavuRemoveDevNode(const std::string& nodePath, const std::string& directory) {
  if (!tavuPathInsideDev(nodePath) || !tavuDirectoryAcceptable(directory)) return;
  errno = 0;
  unlink(nodePath.c_str());
  tavuRemoveDirs(directory);
}

void tavuMakeDirs(const std::string& directory) {
  if (directory.empty() || !tavuPathInsideDev(directory)) return;
  // From position 1, so that the leading "/" never yields an empty name.
  for (std::string::size_type slash = directory.find('/', 1); slash != std::string::npos;
       slash = directory.find('/', slash + 1)) {
    errno = 0;
    mkdir(directory.substr(0, slash).c_str(), kDirectoryMode);
  }
  errno = 0;
  mkdir(directory.c_str(), kDirectoryMode);
}

void tavuRemoveDirs(const std::string& directory) {
  if (directory.empty() || !tavuPathInsideDev(directory)) return;
  // rmdir leaves any directory that still holds something, /dev included.
  std::string current = directory;
  for (;;) {
    errno = 0;
    rmdir(current.c_str());
    const std::string::size_type slash = current.rfind('/');
    if (slash == std::string::npos || slash == 0) break;
    current.resize(slash);
  }
}
