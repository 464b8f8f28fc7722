// The driver's own ear on the uevent multicast group: it notes when each
// datagram was sent. A listening thread, raised to real-time priority when
// it may be, wakes within microseconds of the send, which is as close to
// the sending as anything outside tavuinject can tell.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class tavuUeventListener {
 public:
  tavuUeventListener() = default;
  ~tavuUeventListener();
  tavuUeventListener(const tavuUeventListener&) = delete;
  tavuUeventListener& operator=(const tavuUeventListener&) = delete;

  // Opens the socket and starts the thread; `capacity` bounds the SEQNUMs
  // whose times are kept. False with `error` set.
  bool start(uint32_t capacity, std::string* error);
  void stop();
  bool realtime() const { return iv_realtime; }

  // Forgets what was heard, drops what waits in the socket, and listens
  // afresh: for the first datagram only, or (`every`) for each one. Returns
  // once the thread listens, so that a send made after it is heard.
  void arm(bool every);

  // When the first datagram since arm() was heard; 0 if none was.
  uint64_t firstNs() const { return iv_firstNs.load(std::memory_order_acquire); }
  // When the datagram of SEQNUM `seq` was heard (every mode); 0 if not.
  uint64_t sentNs(uint32_t seq) const;
  // Datagrams heard since arm() in every mode.
  uint32_t heard() const { return iv_heard.load(std::memory_order_acquire); }

 private:
  static void* tavuRun(void* self);
  void run();
  void drainSocket();
  void setMember(bool member);
  void note(const char* data, size_t length, uint64_t now);

  int iv_fd = -1;
  int iv_wakeFd = -1;  // eventfd: arm or stop
  pthread_t iv_thread{};
  bool iv_started = false;
  bool iv_realtime = false;
  bool iv_member = false;  // listener thread only

  std::mutex iv_mutex;
  std::condition_variable iv_armed;
  uint64_t iv_armRequest = 0;    // under iv_mutex
  uint64_t iv_armDone = 0;       // under iv_mutex
  bool iv_stopRequest = false;   // under iv_mutex
  bool iv_requestEvery = false;  // under iv_mutex

  std::atomic<bool> iv_every{false};
  std::atomic<uint64_t> iv_firstNs{0};
  std::atomic<uint32_t> iv_heard{0};
  std::vector<std::atomic<uint64_t>> iv_sentNs;
};
