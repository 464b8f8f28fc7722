// What the benchmark client saw, in a file the driver makes and both map:
// the client appends a record per event without a system call, the driver
// reads them while it runs.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// The one clock of the benchmark, CLOCK_MONOTONIC: the same in every
// process, so the client's times and the driver's compare.
inline uint64_t tavuBenchNowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

struct tavuArrival {
  int32_t seq;         // the event's SEQNUM
  int32_t action;      // as delivered: 1 add, 2 remove
  uint64_t arrivalNs;  // whole message received
  uint64_t ackNs;      // acknowledgment sent
};

enum tavuClientState : uint32_t { TAVU_CLIENT_STARTING, TAVU_CLIENT_CONNECTED, TAVU_CLIENT_FAILED };

// The file: this header, then room for TAVU_ARRIVALS_CAPACITY records.
struct tavuArrivals {
  std::atomic<uint32_t> state;
  std::atomic<uint32_t> count;  // records complete
};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "shared between processes");

constexpr uint32_t TAVU_ARRIVALS_CAPACITY = 1000000;
constexpr size_t TAVU_ARRIVALS_SIZE =
    sizeof(tavuArrivals) + TAVU_ARRIVALS_CAPACITY * sizeof(tavuArrival);

inline tavuArrival* tavuArrivalRecords(tavuArrivals* arrivals) {
  return reinterpret_cast<tavuArrival*>(arrivals + 1);
}

// The file mapped shared: made afresh (zero-filled: no record, the client
// starting) by the driver, opened as it is by the client; null on failure.
inline tavuArrivals* tavuMapArrivals(const char* path, bool make) {
  const int fd = open(path, O_RDWR | O_CLOEXEC | (make ? O_CREAT | O_TRUNC : 0), 0644);
  void* base = MAP_FAILED;
  if (fd >= 0 && (!make || ftruncate(fd, static_cast<off_t>(TAVU_ARRIVALS_SIZE)) == 0)) {
    base = mmap(nullptr, TAVU_ARRIVALS_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  if (fd >= 0) close(fd);
  return base == MAP_FAILED ? nullptr : static_cast<tavuArrivals*>(base);
}
