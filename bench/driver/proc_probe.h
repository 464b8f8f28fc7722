// What the driver (and the load test) reads about running processes from
// /proc: their uevent socket's drops and backlog, processor time, memory,
// their tracer.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// One line of /proc/net/netlink.
struct tavuNetlinkSocketInfo {
  int protocol = -1;  // 15 for NETLINK_KOBJECT_UEVENT
  uint32_t port = 0;
  uint32_t groups = 0;
  uint32_t rmem = 0;   // bytes waiting in the receive queue
  uint32_t drops = 0;  // datagrams the kernel could not queue
  uint64_t inode = 0;
};

// The uevent socket of `pid` that listens to a multicast group, its port
// id being the pid (as every subject binds it, and as the kernel gives a
// process's first). False when there is none (yet).
bool tavuFindUeventSocket(pid_t pid, tavuNetlinkSocketInfo* info);

// The netlink socket with this inode, as it is now.
bool tavuNetlinkSocketByInode(uint64_t inode, tavuNetlinkSocketInfo* info);

// utime + stime of the whole process, in clock ticks.
bool tavuReadCpuTicks(pid_t pid, uint64_t* ticks);

// Whether every thread of `pid` is traced by `tracer`.
bool tavuAllThreadsTracedBy(pid_t pid, pid_t tracer);

// VmRSS, in kB.
bool tavuReadRssKb(pid_t pid, uint64_t* kb);

std::string tavuReadWholeFile(const std::string& path);
