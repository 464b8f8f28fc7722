// What the driver reads about the processes it measures, from /proc.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// One line of /proc/net/netlink.
struct tavuNetlinkSocketInfo {
  int protocol = -1;  // the Eth column: 15 for NETLINK_KOBJECT_UEVENT
  uint32_t portId = 0;
  uint32_t groups = 0;
  uint32_t rmem = 0;   // bytes waiting in the receive queue
  uint32_t drops = 0;  // datagrams the kernel could not queue
  uint64_t inode = 0;
};

// Parses one line of /proc/net/netlink; false for the heading or a line
// that does not parse.
bool tavuParseNetlinkLine(const std::string& line, tavuNetlinkSocketInfo* info);

// Every socket of /proc/net/netlink (of this network namespace).
std::vector<tavuNetlinkSocketInfo> tavuReadNetlinkSockets(
    const std::string& path = "/proc/net/netlink");

// The inodes of the sockets that process `pid` holds open.
std::vector<uint64_t> tavuSocketInodes(pid_t pid);

// The uevent socket of `pid` that listens to a multicast group. False when
// it has none (yet).
bool tavuFindUeventSocket(pid_t pid, tavuNetlinkSocketInfo* info);

// The socket with this inode, as it is now.
bool tavuNetlinkSocketByInode(uint64_t inode, tavuNetlinkSocketInfo* info);

// utime + stime, in clock ticks, from the text of /proc/<pid>/stat.
bool tavuParseStatTicks(const std::string& stat, uint64_t* ticks);
bool tavuReadCpuTicks(pid_t pid, uint64_t* ticks);

// A "Name:  value kB" field of /proc/<pid>/status, in kB.
bool tavuParseStatusKb(const std::string& status, const std::string& field, uint64_t* kb);
bool tavuReadRssKb(pid_t pid, uint64_t* kb);

// The parent process id and command name, from /proc/<pid>/stat.
bool tavuParseStatParent(const std::string& stat, pid_t* parent, std::string* comm);

std::string tavuReadWholeFile(const std::string& path);

// The threads of process `pid`, in the order of their ids (creation order
// for a process that has not wrapped its pid space).
std::vector<pid_t> tavuThreadIds(pid_t pid);

// From /proc/<pid>/task/<tid>/schedstat: how long a thread has run, how
// long it has waited runnable for a processor (ns), and how many times it
// was put on one.
struct tavuSchedstat {
  uint64_t cpuNs = 0;
  uint64_t waitNs = 0;
  uint64_t slices = 0;
};
bool tavuParseSchedstat(const std::string& text, tavuSchedstat* stat);
bool tavuReadSchedstat(pid_t pid, pid_t tid, tavuSchedstat* stat);
