// What the daemon's three threads share: the two queues with their locks
// and conditions, the datagram record that travels on the first, the two
// descriptors that double as the stop signal, and the counters shown in
// reports. The event record is the interpreter's; a queue holds only its
// pointer.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <deque>

class tavuNetlinkEvent;

// A first-in, first-out queue of record pointers shared by two threads.
// Every operation but size() is made under the queue's own mutex; size()
// is a momentary count that any thread may read for a report.
template <typename T>
class tavuQueue {
 public:
  void push_back(T item) {
    iv_items.push_back(item);
    iv_count.store(static_cast<int32_t>(iv_items.size()), std::memory_order_relaxed);
  }
  T front() const { return iv_items.front(); }
  void pop_front() {
    iv_items.pop_front();
    iv_count.store(static_cast<int32_t>(iv_items.size()), std::memory_order_relaxed);
  }
  bool empty() const { return iv_items.empty(); }
  int32_t size() const { return iv_count.load(std::memory_order_relaxed); }

 private:
  std::deque<T> iv_items;
  std::atomic<int32_t> iv_count{0};
};

// One datagram as received from the kernel uevent socket.
struct NetlinkDatagram {
  int32_t length;  // bytes received
  char* data;      // malloc'd copy of exactly `length` bytes, no NUL added
};

// A zero-filled record holding a heap copy of exactly `length` bytes of
// `bytes` (no NUL added). Null when memory could not be had: the reader
// queues the null all the same, and the worker reports it.
NetlinkDatagram* tavuNewDatagram(const char* bytes, ssize_t length);

// Frees the data block, then the record; a null record is ignored.
void tavuFreeDatagram(NetlinkDatagram* datagram);

// Reader -> worker.
extern tavuQueue<NetlinkDatagram*>& g_netlinkDataQueue;
extern pthread_mutex_t g_netlinkDataQueue_mutex;
extern pthread_cond_t g_netlinkDataQueue_cond;

// Worker -> main thread.
extern tavuQueue<tavuNetlinkEvent*>& g_hpEvQueue;
extern pthread_mutex_t g_hpEvQueue_mutex;
extern pthread_cond_t g_hpEvQueue_cond;

// A value above 0 is a socket in use; 0 or less means none and stops the daemon.
extern std::atomic<int32_t> g_netlinkSocketFd;
extern std::atomic<int32_t> g_clientSockfd;

// Set for good by whichever intake thread ends first: a descriptor stored
// afterwards (the reader's socket, the client's) cannot undo the stop.
extern std::atomic<bool> g_intakeStopped;

// Each has one writing thread; the others read them for reports.
extern std::atomic<int32_t> g_totalNetlinkEvents;
extern std::atomic<int32_t> g_totalTavuEvents;
extern std::atomic<int32_t> g_sentToClient;

// True when the descriptor names a socket in use.
inline bool tavuDescriptorInUse(const std::atomic<int32_t>& fd) {
  return fd.load(std::memory_order_acquire) > 0;
}
