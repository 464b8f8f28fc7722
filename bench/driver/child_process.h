// The driver's children: the subjects, the daemon's client, strace.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// Starts argv (found on PATH) with no input and its output appended to
// `output`; -1 on failure.
pid_t tavuSpawn(const std::vector<std::string>& argv, const std::string& output);

// A child's exit status (128 + signal), -1 while it runs at `deadlineNs`
// (CLOCK_MONOTONIC), -2 when it is no child (any more).
int tavuWaitChild(pid_t pid, uint64_t deadlineNs);

void tavuKillChild(pid_t pid);

void tavuSleepMs(int ms);
