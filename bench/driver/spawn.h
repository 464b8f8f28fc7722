// Starting, waiting for and ending the processes the driver runs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// Starts argv[0] (a path, or a name looked up in PATH) with standard output and error to
// `outputPath` (appended; "" keeps the driver's). Returns the pid, or -1 with errno.
pid_t tavuSpawn(const std::vector<std::string>& argv, const std::string& outputPath);

// Waits up to `timeoutMs` for child `pid`; returns its exit status (128 +
// signal when killed), -1 when it still runs, -2 when it is no child of ours.
int tavuWaitChild(pid_t pid, int timeoutMs);

// Kills child `pid` (SIGKILL) if it still runs and reaps it.
void tavuKillChild(pid_t pid);

// Makes this process the reaper of its orphaned descendants, so that a
// daemon that forks into the background stays our child.
bool tavuBecomeSubreaper();

// A child of this process named `comm` that is not in `known`; -1 when
// there is none within `timeoutMs`.
pid_t tavuFindChild(const std::string& comm, const std::vector<pid_t>& known, int timeoutMs);

void tavuSleepMs(int ms);
