// The one clock of the benchmark: CLOCK_MONOTONIC, shared by every process
// on the machine, so times taken by the client and the driver compare.
#pragma once

#include <time.h>

#include <cstdint>

inline uint64_t tavuBenchNowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}
