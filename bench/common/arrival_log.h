// What the benchmark client saw, in a file mapped by the client and the
// driver at once: the client appends one record per event without a system
// call, the driver reads them while the client runs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

struct tavuArrival {
  int32_t seq;         // the event's SEQNUM
  int32_t action;      // as delivered: 1 add, 2 remove
  uint64_t arrivalNs;  // when the whole message had been received
  uint64_t ackNs;      // when its acknowledgment had been sent
};

enum tavuClientState : uint32_t {
  TAVU_CLIENT_STARTING = 0,
  TAVU_CLIENT_CONNECTED = 1,  // handshake done
  TAVU_CLIENT_ENDED = 2,      // the daemon went away, or the log is full
  TAVU_CLIENT_FAILED = 3,     // could not connect or broke the protocol
};

struct tavuArrivalHeader {
  uint32_t magic;
  uint32_t capacity;
  std::atomic<uint32_t> state;
  std::atomic<uint32_t> count;  // records written; each is complete before it counts
};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "shared between processes");

class tavuArrivalLog {
 public:
  tavuArrivalLog() = default;
  ~tavuArrivalLog();
  tavuArrivalLog(const tavuArrivalLog&) = delete;
  tavuArrivalLog& operator=(const tavuArrivalLog&) = delete;

  // Creates (or truncates) the file for `capacity` records. Returns false
  // with errno set.
  bool create(const std::string& path, uint32_t capacity);
  // Maps a file made by create(). Returns false with errno set.
  bool open(const std::string& path);

  uint32_t capacity() const { return iv_header->capacity; }
  uint32_t count() const { return iv_header->count.load(std::memory_order_acquire); }
  tavuClientState state() const {
    return static_cast<tavuClientState>(iv_header->state.load(std::memory_order_acquire));
  }
  void setState(tavuClientState state) { iv_header->state.store(state, std::memory_order_release); }
  // Appends a record; false when the log is full.
  bool append(const tavuArrival& arrival);
  // Record `index`, below count().
  const tavuArrival& at(uint32_t index) const { return iv_records[index]; }

 private:
  bool map(int fd, size_t size);

  tavuArrivalHeader* iv_header = nullptr;
  tavuArrival* iv_records = nullptr;
  size_t iv_size = 0;
};
