#include "driver.h"

#include <dirent.h>
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

constexpr int TAVU_WATCHER_PRIORITY = 20;

struct tavuWatcher {
  std::mutex mutex;
  std::condition_variable changed;
  tavuNodeCounts counts;
  std::vector<uint8_t> present;
  std::vector<uint64_t> createdNs;
  int inotifyFd = -1;
  int parentWd = -1;
  int dirWd = -1;
  pthread_t thread{};
};

// Never freed: its thread runs until the process ends.
tavuWatcher* g_watcher = nullptr;

// The number a node's name stands for, or -1.
long tavuNodeNumber(const char* name) {
  char* end = nullptr;
  const long number = std::strtol(name, &end, 10);
  const bool digits = name[0] >= '0' && name[0] <= '9' && *end == '\0';
  return digits && number < static_cast<long>(g_watcher->present.size()) ? number : -1;
}

// Under the mutex.
void tavuMark(long number, bool present, uint64_t now) {
  if (number < 0 || (g_watcher->present[number] != 0) == present) return;
  g_watcher->present[number] = present ? 1 : 0;
  g_watcher->counts.present += present ? 1 : -1;
  if (present && g_watcher->createdNs[number] == 0) g_watcher->createdNs[number] = now;
  g_watcher->counts.lastChangeNs = now;
}

// The directory as it is now is the truth: once it is watched (it may have
// filled before), and after the event queue overflowed.
void tavuRescan(uint64_t now) {
  std::vector<uint8_t> seen(g_watcher->present.size(), 0);
  if (DIR* dir = opendir(TAVU_BENCH_NODE_DIR)) {
    while (const dirent* entry = readdir(dir)) {
      const long number = tavuNodeNumber(entry->d_name);
      if (number >= 0) seen[number] = 1;
    }
    closedir(dir);
  }
  std::lock_guard<std::mutex> lock(g_watcher->mutex);
  for (long number = 0; number < static_cast<long>(seen.size()); ++number) {
    tavuMark(number, seen[number] != 0, now);
  }
}

void tavuWatchDirectory(uint64_t now) {
  g_watcher->dirWd = inotify_add_watch(g_watcher->inotifyFd, TAVU_BENCH_NODE_DIR,
                                       IN_CREATE | IN_DELETE | IN_ONLYDIR);
  if (g_watcher->dirWd >= 0) tavuRescan(now);
}

// The directory goes with its last node and comes back with the next.
void tavuHandle(const inotify_event& event, uint64_t now) {
  const char* name = event.len > 0 ? event.name : "";
  if ((event.mask & IN_Q_OVERFLOW) != 0) {
    tavuRescan(now);
  } else if (event.wd == g_watcher->parentWd) {
    if (std::strcmp(name, std::strrchr(TAVU_BENCH_NODE_DIR, '/') + 1) == 0) tavuWatchDirectory(now);
  } else if (event.wd == g_watcher->dirWd) {
    std::lock_guard<std::mutex> lock(g_watcher->mutex);
    tavuMark(tavuNodeNumber(name), (event.mask & IN_CREATE) != 0, now);
  }
}

void* tavuWatch(void* /*unused*/) {
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = read(g_watcher->inotifyFd, buffer, sizeof buffer);
    const uint64_t now = tavuBenchNowNs();
    for (ssize_t offset = 0; offset < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      tavuHandle(*event, now);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    g_watcher->changed.notify_all();
  }
}

}  // namespace

bool tavuStartNodeWatcher(uint32_t capacity, std::string* error) {
  g_watcher = new tavuWatcher;
  g_watcher->present.assign(capacity, 0);
  g_watcher->createdNs.assign(capacity, 0);
  g_watcher->inotifyFd = inotify_init1(IN_CLOEXEC);
  g_watcher->parentWd = inotify_add_watch(g_watcher->inotifyFd, "/dev", IN_CREATE | IN_ONLYDIR);
  tavuWatchDirectory(tavuBenchNowNs());
  if (g_watcher->parentWd < 0 ||
      pthread_create(&g_watcher->thread, nullptr, tavuWatch, nullptr) != 0) {
    *error = std::string("cannot watch /dev: ") + std::strerror(errno);
    return false;
  }
  return true;
}

tavuNodeCounts tavuWaitForNodes(uint32_t present, int quietMs, int timeoutMs) {
  const uint64_t start = tavuBenchNowNs();
  const uint64_t deadline = start + static_cast<uint64_t>(timeoutMs) * 1000000u;
  std::unique_lock<std::mutex> lock(g_watcher->mutex);
  for (;;) {
    const uint64_t quietEnd =
        std::max(start, g_watcher->counts.lastChangeNs) + static_cast<uint64_t>(quietMs) * 1000000u;
    const uint64_t now = tavuBenchNowNs();
    if (g_watcher->counts.present == present || now >= std::min(deadline, quietEnd)) {
      return g_watcher->counts;
    }
    g_watcher->changed.wait_for(lock, std::chrono::nanoseconds(std::min(deadline, quietEnd) - now));
  }
}

uint64_t tavuNodeCreatedNs(uint32_t number) {
  std::lock_guard<std::mutex> lock(g_watcher->mutex);
  return number < g_watcher->createdNs.size() ? g_watcher->createdNs[number] : 0;
}

void tavuForgetNodeTimes() {
  std::lock_guard<std::mutex> lock(g_watcher->mutex);
  std::fill(g_watcher->createdNs.begin(), g_watcher->createdNs.end(), 0);
}

void tavuSetWatcherRealtime(bool realtime) {
  sched_param param{};
  param.sched_priority = realtime ? TAVU_WATCHER_PRIORITY : 0;
  (void)pthread_setschedparam(g_watcher->thread, realtime ? SCHED_FIFO : SCHED_OTHER, &param);
}
