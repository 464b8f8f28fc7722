// Watches the workload's node directory with inotify and keeps, for each
// node number, whether it is present and when it first appeared: the
// driver's view of when a device manager has done its work.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct tavuNodeCounts {
  uint32_t present = 0;
  uint64_t created = 0;       // appearances since start
  uint64_t removed = 0;       // disappearances since start
  uint64_t lastChangeNs = 0;  // when the last of them was seen
  uint32_t overflows = 0;     // inotify queue overflows, each followed by a rescan
};

class tavuNodeWatcher {
 public:
  tavuNodeWatcher() = default;
  ~tavuNodeWatcher();
  tavuNodeWatcher(const tavuNodeWatcher&) = delete;
  tavuNodeWatcher& operator=(const tavuNodeWatcher&) = delete;

  // Watches `dir` (e.g. /dev/tts, made and removed as nodes come and go)
  // for nodes named by a number below `capacity`. False with `error` set.
  bool start(const std::string& dir, uint32_t capacity, std::string* error);
  void stop();
  // Real-time priority wakes the watcher as each node appears, for
  // latencies; at normal priority it reads in batches and costs a burst
  // less.
  void setRealtime(bool realtime);

  tavuNodeCounts counts();
  // Waits until `done` holds, or nothing has changed for `quietMs`, or
  // `timeoutMs` has passed; returns the counts then.
  tavuNodeCounts waitUntil(const std::function<bool(const tavuNodeCounts&)>& done, int quietMs,
                           int timeoutMs);
  // When node `number` first appeared since resetTimes(); 0 if it has not.
  uint64_t createdNs(uint32_t number);
  void resetTimes();

 private:
  static void* tavuRun(void* self);
  void run();
  void watchDirectory(uint64_t now);
  void handle(int wd, uint32_t mask, const char* name, uint64_t now);
  void mark(const char* name, bool present, uint64_t now);
  void resync(uint64_t now);

  std::string iv_dir;
  std::string iv_parent;
  std::string iv_leaf;
  int iv_inotifyFd = -1;
  int iv_wakeFd = -1;
  int iv_parentWd = -1;
  int iv_dirWd = -1;
  pthread_t iv_thread{};
  bool iv_started = false;

  std::mutex iv_mutex;
  std::condition_variable iv_changed;
  bool iv_stopRequest = false;
  tavuNodeCounts iv_counts;
  std::vector<uint8_t> iv_present;
  std::vector<uint64_t> iv_createdNs;
};
