// The directories below /dev that the walk keeps open from one event to
// the next, so that an event costs one look-up per level instead of a walk.
//
// The rule: a kept directory is used at an event only when its name, looked
// up at that event from its kept parent (from the root, through "/dev", for
// one directly in /dev) following no link, finds the same file on the same
// mount. The kernel answers at every use, so nothing done to /dev in between
// goes unseen: a directory removed, renamed, exchanged or put in the place
// of another has another inode (one held open is never given to another
// file), and a mount on its name, or on /dev, another mount. Where the
// kernel does not tell mounts apart, nothing is kept.
//
// A directory is kept only with its parent (or directly in /dev), up to
// TAVU_KEPT of them; with the two a walk holds in hand, the walk never holds
// more than 32 descriptors.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "dev_walk.h"

namespace {

constexpr size_t TAVU_KEPT = 30;

struct tavuKeptDirectory {
  std::string iv_path;
  tavuDirectory iv_directory;
  uint64_t iv_lastUse;  // for letting go of the least recently used first
};

std::vector<tavuKeptDirectory> g_kept;
uint64_t g_keptClock = 0;

// `path` is `top` or lies below it.
bool tavuAtOrBelow(const std::string& path, const std::string& top) {
  return path.compare(0, top.size(), top) == 0 &&
         (path.size() == top.size() || path[top.size()] == '/');
}

tavuKeptDirectory* tavuKeptAt(const std::string& path) {
  for (tavuKeptDirectory& kept : g_kept) {
    if (kept.iv_path == path) return &kept;
  }
  return nullptr;
}

bool tavuSameDirectory(const tavuDirectory& kept, const tavuDirectory& now) {
  return now.iv_device == kept.iv_device && now.iv_inode == kept.iv_inode &&
         now.iv_mount == kept.iv_mount;
}

// Lets go of the kept directory `path` and of those below it.
void tavuKeptForget(const std::string& path) {
  g_kept.erase(std::remove_if(g_kept.begin(), g_kept.end(),
                              [&](const tavuKeptDirectory& kept) {
                                if (!tavuAtOrBelow(kept.iv_path, path)) return false;
                                close(kept.iv_directory.iv_fd);
                                return true;
                              }),
               g_kept.end());
}

// Lets go of the least recently used, and of those below it, unless it is
// one of `path`'s parents: this very walk used those last.
bool tavuMakeRoom(const std::string& path) {
  const auto oldest = std::min_element(
      g_kept.begin(), g_kept.end(),
      [](const auto& one, const auto& other) { return one.iv_lastUse < other.iv_lastUse; });
  if (tavuAtOrBelow(path, oldest->iv_path)) return false;
  tavuKeptForget(std::string(oldest->iv_path));
  return true;
}

}  // namespace

bool tavuKeptReach(const std::string& path, int at, const char* name, tavuDirectory* found) {
  tavuKeptDirectory* kept = tavuKeptAt(path);
  if (kept == nullptr) return false;
  tavuDirectory now;
  if (!tavuLookUp(at, name, &now) || !tavuSameDirectory(kept->iv_directory, now)) {
    tavuKeptForget(path);
    return false;
  }
  now.iv_fd = kept->iv_directory.iv_fd;
  kept->iv_directory = now;
  kept->iv_lastUse = ++g_keptClock;
  *found = now;
  return true;
}

bool tavuKeep(const std::string& path, const tavuDirectory& directory) {
  const std::string::size_type slash = path.rfind('/');
  const bool parentKept =
      slash == std::string::npos || tavuKeptAt(path.substr(0, slash)) != nullptr;
  if (!tavuMountsTold() || !parentKept) return false;
  if (g_kept.size() >= TAVU_KEPT && !tavuMakeRoom(path)) return false;
  g_kept.push_back({path, directory, ++g_keptClock});
  return true;
}
