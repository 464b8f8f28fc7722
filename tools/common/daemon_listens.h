// Whether a process listens to the kernel's uevents, as /proc shows it.
// The service files, the demo and the tests ask through
// `tavutrigger --listening PID`, the test fixture and the benchmark here.
#pragma once

#include <sys/types.h>

#include <cstdint>

// One NETLINK_KOBJECT_UEVENT socket, as /proc/net/netlink shows it.
struct tavuUeventSocket {
  uint32_t iv_groups = 0;  // the first 32 multicast groups joined, a bit each
  uint32_t iv_queued = 0;  // bytes waiting in its receive queue
  long iv_drops = 0;       // datagrams the kernel could not queue
};

// The NETLINK_KOBJECT_UEVENT socket of process `pid` that has joined every
// group of `groups` (found by the inodes of its descriptors in
// /proc/PID/fd and /proc/net/netlink); false when it holds none.
bool tavuFindUeventSocket(pid_t pid, uint32_t groups, tavuUeventSocket* found);

// Whether process `pid` holds a NETLINK_KOBJECT_UEVENT socket that has
// joined every multicast group (found by the inodes of its descriptors in
// /proc/PID/fd and /proc/net/netlink); when `drops` is given, that
// socket's drop count.
bool tavuDaemonListens(pid_t pid, long* drops = nullptr);
