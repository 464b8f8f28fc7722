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

// Whether process `pid` holds a NETLINK_KOBJECT_UEVENT socket that has
// joined every group of `groups` (found by the inodes of its descriptors in
// /proc/PID/fd and /proc/net/netlink), and then, when `found` is given,
// that socket. The daemon listens once it has joined every group.
bool tavuFindUeventSocket(pid_t pid, uint32_t groups = 0xffffffffu,
                          tavuUeventSocket* found = nullptr);
