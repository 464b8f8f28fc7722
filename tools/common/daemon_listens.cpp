#include "daemon_listens.h"

#include <dirent.h>
#include <linux/netlink.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>

namespace {

// The inodes of the sockets among the descriptors of `pid`.
std::set<uint64_t> tavuSocketInodes(pid_t pid) {
  std::set<uint64_t> inodes;
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  while (const dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
    char target[64] = {};
    uint64_t inode = 0;
    if (readlinkat(dirfd(dir), entry->d_name, target, sizeof target - 1) > 0 &&
        std::sscanf(target, "socket:[%" SCNu64 "]", &inode) == 1) {
      inodes.insert(inode);
    }
  }
  if (dir != nullptr) closedir(dir);
  return inodes;
}

}  // namespace

// Its port id is no guide: it is the pid only when nobody took that port first.
bool tavuFindUeventSocket(pid_t pid, uint32_t groups, tavuUeventSocket* found) {
  const std::set<uint64_t> inodes = tavuSocketInodes(pid);
  std::ifstream table("/proc/net/netlink");
  for (std::string line; !inodes.empty() && std::getline(table, line);) {
    int protocol = -1;
    tavuUeventSocket socket;
    uint64_t inode = 0;
    // sk Eth Pid Groups Rmem Wmem Dump Locks Drops Inode
    if (std::sscanf(line.c_str(), "%*s %d %*u %" SCNx32 " %" SCNu32 " %*u %*d %*d %ld %" SCNu64,
                    &protocol, &socket.iv_groups, &socket.iv_queued, &socket.iv_drops,
                    &inode) == 5 &&
        protocol == NETLINK_KOBJECT_UEVENT && (socket.iv_groups & groups) == groups &&
        inodes.count(inode) != 0) {
      if (found != nullptr) *found = socket;
      return true;
    }
  }
  return false;
}
