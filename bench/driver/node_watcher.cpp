#include "bench/driver/node_watcher.h"

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "bench/common/bench_clock.h"

namespace {

constexpr int TAVU_WATCHER_PRIORITY = 20;

// The node number a name stands for, or -1.
long tavuNodeNumber(const char* name) {
  if (name[0] < '0' || name[0] > '9') return -1;
  char* end = nullptr;
  const long number = std::strtol(name, &end, 10);
  return *end == '\0' ? number : -1;
}

}  // namespace

tavuNodeWatcher::~tavuNodeWatcher() {
  stop();
}

bool tavuNodeWatcher::start(const std::string& dir, uint32_t capacity, std::string* error) {
  iv_dir = dir;
  const size_t slash = dir.rfind('/');
  iv_parent = slash == 0 ? "/" : dir.substr(0, slash);
  iv_leaf = dir.substr(slash + 1);
  iv_present.assign(capacity, 0);
  iv_createdNs.assign(capacity, 0);
  iv_inotifyFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  iv_wakeFd = eventfd(0, EFD_CLOEXEC);
  if (iv_inotifyFd < 0 || iv_wakeFd < 0) {
    *error = std::string("inotify: ") + std::strerror(errno);
    return false;
  }
  iv_parentWd = inotify_add_watch(iv_inotifyFd, iv_parent.c_str(), IN_CREATE | IN_ONLYDIR);
  if (iv_parentWd < 0) {
    *error = "cannot watch " + iv_parent + ": " + std::strerror(errno);
    return false;
  }
  watchDirectory(tavuBenchNowNs());
  if (pthread_create(&iv_thread, nullptr, tavuRun, this) != 0) {
    *error = "cannot start the watching thread";
    return false;
  }
  iv_started = true;
  return true;
}

void tavuNodeWatcher::stop() {
  if (iv_started) {
    {
      std::lock_guard<std::mutex> lock(iv_mutex);
      iv_stopRequest = true;
    }
    const uint64_t one = 1;
    (void)!write(iv_wakeFd, &one, sizeof one);
    pthread_join(iv_thread, nullptr);
    iv_started = false;
  }
  if (iv_inotifyFd >= 0) close(iv_inotifyFd);
  if (iv_wakeFd >= 0) close(iv_wakeFd);
  iv_inotifyFd = iv_wakeFd = -1;
}

void tavuNodeWatcher::setRealtime(bool realtime) {
  if (!iv_started) return;
  sched_param param{};
  param.sched_priority = realtime ? TAVU_WATCHER_PRIORITY : 0;
  (void)pthread_setschedparam(iv_thread, realtime ? SCHED_FIFO : SCHED_OTHER, &param);
}

tavuNodeCounts tavuNodeWatcher::counts() {
  std::lock_guard<std::mutex> lock(iv_mutex);
  return iv_counts;
}

tavuNodeCounts tavuNodeWatcher::waitUntil(const std::function<bool(const tavuNodeCounts&)>& done,
                                          int quietMs, int timeoutMs) {
  const uint64_t start = tavuBenchNowNs();
  const uint64_t deadline = start + static_cast<uint64_t>(timeoutMs) * 1000000u;
  const uint64_t quiet = static_cast<uint64_t>(quietMs) * 1000000u;
  std::unique_lock<std::mutex> lock(iv_mutex);
  for (;;) {
    if (done(iv_counts)) break;
    const uint64_t now = tavuBenchNowNs();
    if (now >= deadline || now - std::max(start, iv_counts.lastChangeNs) >= quiet) break;
    iv_changed.wait_for(lock, std::chrono::milliseconds(5));
  }
  return iv_counts;
}

uint64_t tavuNodeWatcher::createdNs(uint32_t number) {
  std::lock_guard<std::mutex> lock(iv_mutex);
  return number < iv_createdNs.size() ? iv_createdNs[number] : 0;
}

void tavuNodeWatcher::resetTimes() {
  std::lock_guard<std::mutex> lock(iv_mutex);
  std::fill(iv_createdNs.begin(), iv_createdNs.end(), 0);
}

void* tavuNodeWatcher::tavuRun(void* self) {
  static_cast<tavuNodeWatcher*>(self)->run();
  return nullptr;
}

// Watches the directory if it exists and counts what is already in it: it
// may have filled between its creation and the watch.
void tavuNodeWatcher::watchDirectory(uint64_t now) {
  iv_dirWd = inotify_add_watch(iv_inotifyFd, iv_dir.c_str(), IN_CREATE | IN_DELETE | IN_ONLYDIR);
  if (iv_dirWd < 0) return;
  DIR* dir = opendir(iv_dir.c_str());
  if (dir == nullptr) return;
  std::lock_guard<std::mutex> lock(iv_mutex);
  while (const dirent* entry = readdir(dir)) mark(entry->d_name, true, now);
  closedir(dir);
}

// Under iv_mutex.
void tavuNodeWatcher::mark(const char* name, bool present, uint64_t now) {
  const long number = tavuNodeNumber(name);
  if (number < 0 || static_cast<size_t>(number) >= iv_present.size()) return;
  uint8_t& slot = iv_present[static_cast<size_t>(number)];
  if ((slot != 0) == present) return;
  slot = present ? 1 : 0;
  if (present) {
    ++iv_counts.present;
    ++iv_counts.created;
    uint64_t& created = iv_createdNs[static_cast<size_t>(number)];
    if (created == 0) created = now;
  } else {
    --iv_counts.present;
    ++iv_counts.removed;
  }
  iv_counts.lastChangeNs = now;
}

// After an inotify queue overflow: the directory as it is now is the truth.
void tavuNodeWatcher::resync(uint64_t now) {
  std::vector<uint8_t> seen(iv_present.size(), 0);
  if (DIR* dir = opendir(iv_dir.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const long number = tavuNodeNumber(entry->d_name);
      if (number >= 0 && static_cast<size_t>(number) < seen.size()) seen[number] = 1;
    }
    closedir(dir);
  }
  std::lock_guard<std::mutex> lock(iv_mutex);
  ++iv_counts.overflows;
  for (size_t number = 0; number < seen.size(); ++number) {
    if (seen[number] != iv_present[number]) {
      mark(std::to_string(number).c_str(), seen[number] != 0, now);
    }
  }
}

void tavuNodeWatcher::handle(int wd, uint32_t mask, const char* name, uint64_t now) {
  if ((mask & IN_Q_OVERFLOW) != 0) {
    resync(now);
    return;
  }
  if (wd == iv_parentWd) {
    if ((mask & IN_CREATE) != 0 && (mask & IN_ISDIR) != 0 && iv_leaf == name) {
      watchDirectory(now);
    }
    return;
  }
  if (wd != iv_dirWd) return;
  if ((mask & IN_IGNORED) != 0) {
    iv_dirWd = -1;  // the directory is gone; it may come back
    return;
  }
  std::lock_guard<std::mutex> lock(iv_mutex);
  if ((mask & IN_CREATE) != 0) mark(name, true, now);
  if ((mask & IN_DELETE) != 0) mark(name, false, now);
}

void tavuNodeWatcher::run() {
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    pollfd fds[2] = {{iv_wakeFd, POLLIN, 0}, {iv_inotifyFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    const uint64_t now = tavuBenchNowNs();
    if ((fds[0].revents & POLLIN) != 0) {
      std::lock_guard<std::mutex> lock(iv_mutex);
      if (iv_stopRequest) return;
    }
    const ssize_t n = read(iv_inotifyFd, buffer, sizeof buffer);
    for (ssize_t offset = 0; offset < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      handle(event->wd, event->mask, event->len > 0 ? event->name : "", now);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    if (n > 0) iv_changed.notify_all();
  }
}
