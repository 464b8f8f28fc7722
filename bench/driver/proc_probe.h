// What the driver reads about running processes from /proc: processor
// time, memory, their tracer (their uevent socket: daemon_listens.h).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// utime + stime of the whole process, in clock ticks.
bool tavuReadCpuTicks(pid_t pid, uint64_t* ticks);

// Whether every thread of `pid` is traced by `tracer`.
bool tavuAllThreadsTracedBy(pid_t pid, pid_t tracer);

// VmRSS, in kB.
bool tavuReadRssKb(pid_t pid, uint64_t* kb);

std::string tavuReadWholeFile(const std::string& path);
