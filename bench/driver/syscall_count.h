// Counts a running process's system calls by name: strace -c attached to
// every thread of it (and to what it starts) for as long as asked, so that
// its start-up does not count.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

struct tavuSyscallCount {
  pid_t iv_tracer = -1;
  std::string iv_summary;  // strace's table, then read back
  std::string iv_log;      // its own messages
};

// Attaches strace to `pid` and returns once every thread of it is traced.
// False with `error` set and nothing left running.
bool tavuStartSyscallCount(pid_t pid, const std::string& stem, tavuSyscallCount* count,
                           std::string* error);

// Detaches strace and reads each system call's count since the start into
// `calls`. A count never started gives none. False with `error` set.
bool tavuStopSyscallCount(tavuSyscallCount* count, std::map<std::string, uint64_t>* calls,
                          std::string* error);
