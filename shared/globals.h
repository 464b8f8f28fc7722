// The state the daemon's three threads share: two queues with their locks
// and conditions, the two descriptors that double as the stop signal, the
// counters shown in reports, and the report mechanism's globals.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <deque>

#include <trace_kelu.h>

#include "records.h"

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

// Report mechanism. The trace library fills g_netlinkTrace in place; other
// threads read it only once g_tracInitCalled, set after that call returned,
// says so.
constexpr trace_kelu_desc_t TAVU_NO_TRACE_BUFFER = 0xFFFFFFFFu;  // all bits set
extern trace_kelu_desc_t g_netlinkTrace;
extern std::atomic<uint8_t> g_tracInitCalled;
extern const char* g_progName;

// Main thread only.
extern int32_t g_msgSerialNum;

// Each has one writing thread; the others read them for reports.
extern std::atomic<int32_t> g_totalNetlinkEvents;
extern std::atomic<int32_t> g_totalTavuEvents;
extern std::atomic<int32_t> g_sentToClient;

// True when the descriptor names a socket in use.
inline bool tavuDescriptorInUse(const std::atomic<int32_t>& fd) {
  return fd.load(std::memory_order_acquire) > 0;
}
