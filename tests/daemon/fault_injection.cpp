// Link-time fault injection for the daemon: the test build wraps the calls
// listed in TAVU_WRAPPED_CALLS (tests/daemon/CMakeLists.txt), and
//
//   TAVU_FAIL="item,item..."   item = call[:object][@thread][#n]
//
// makes the n-th matching call (the first when #n is absent) fail the way
// the C library reports failure. `object` narrows a lock call to one queue
// mutex (netlinkDataQueue, hpEvQueue) or a socket call to a family (unix,
// netlink); `thread` to main, worker or reader. Production code is untouched.
#include <errno.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/globals.h"

namespace {

struct tavuFaultItem {
  std::string call;
  std::string object;  // empty: any
  std::string thread;  // empty: any
  int failAt = 1;
  std::atomic<int> calls{0};
};

std::vector<tavuFaultItem*>& tavuFaultPlan() {
  static std::vector<tavuFaultItem*>* plan = [] {
    auto* items = new std::vector<tavuFaultItem*>;
    const char* text = std::getenv("TAVU_FAIL");
    std::string rest = text != nullptr ? text : "";
    while (!rest.empty()) {
      const size_t comma = rest.find(',');
      std::string word = rest.substr(0, comma);
      rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
      auto* item = new tavuFaultItem;
      const size_t hash = word.find('#');
      if (hash != std::string::npos) {
        item->failAt = std::atoi(word.c_str() + hash + 1);
        word.resize(hash);
      }
      const size_t at = word.find('@');
      if (at != std::string::npos) {
        item->thread = word.substr(at + 1);
        word.resize(at);
      }
      const size_t colon = word.find(':');
      if (colon != std::string::npos) {
        item->object = word.substr(colon + 1);
        word.resize(colon);
      }
      item->call = word;
      items->push_back(item);
    }
    return items;
  }();
  return *plan;
}

// Threads are named by the order of their creation: the worker first.
thread_local const char* t_threadName = "main";
std::atomic<int> g_threadsCreated{0};

struct tavuThreadStart {
  void* (*start)(void*);
  void* arg;
  const char* name;
};

void* tavuNamedThread(void* raw) {
  tavuThreadStart launch = *static_cast<tavuThreadStart*>(raw);
  delete static_cast<tavuThreadStart*>(raw);
  t_threadName = launch.name;
  return launch.start(launch.arg);
}

// True when this call is the one an item of the plan makes fail.
bool tavuFailNow(const char* call, const std::string& object = "") {
  for (tavuFaultItem* item : tavuFaultPlan()) {
    if (item->call != call) continue;
    if (!item->object.empty() && item->object != object) continue;
    if (!item->thread.empty() && item->thread != t_threadName) continue;
    if (++item->calls == item->failAt) return true;
  }
  return false;
}

std::string tavuMutexName(const pthread_mutex_t* mutex) {
  if (mutex == &g_netlinkDataQueue_mutex) return "netlinkDataQueue";
  if (mutex == &g_hpEvQueue_mutex) return "hpEvQueue";
  return "other";
}

std::string tavuCondName(const pthread_cond_t* cond) {
  if (cond == &g_netlinkDataQueue_cond) return "netlinkDataQueue";
  if (cond == &g_hpEvQueue_cond) return "hpEvQueue";
  return "other";
}

std::string tavuFamilyName(int family) {
  return family == AF_UNIX ? "unix" : family == AF_NETLINK ? "netlink" : "other";
}

std::string tavuSocketFamily(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "other";
  return tavuFamilyName(address.ss_family);
}

}  // namespace

extern "C" {

pid_t __real_fork();
int __real_pthread_mutexattr_init(pthread_mutexattr_t* attr);
int __real_pthread_mutexattr_settype(pthread_mutexattr_t* attr, int type);
int __real_pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attr);
int __real_pthread_cond_init(pthread_cond_t* cond, const pthread_condattr_t* attr);
int __real_pthread_attr_init(pthread_attr_t* attr);
int __real_pthread_attr_setdetachstate(pthread_attr_t* attr, int state);
int __real_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                          void* arg);
int __real_pthread_mutex_lock(pthread_mutex_t* mutex);
int __real_pthread_mutex_unlock(pthread_mutex_t* mutex);
int __real_pthread_cond_wait(pthread_cond_t* cond, pthread_mutex_t* mutex);
int __real_socket(int family, int type, int protocol);
int __real_setsockopt(int fd, int level, int name, const void* value, socklen_t length);
int __real_bind(int fd, const sockaddr* address, socklen_t length);
int __real_listen(int fd, int backlog);
int __real_accept(int fd, sockaddr* address, socklen_t* length);
ssize_t __real_recv(int fd, void* buffer, size_t length, int flags);
ssize_t __real_send(int fd, const void* buffer, size_t length, int flags);

pid_t __wrap_fork() {
  if (tavuFailNow("fork")) {
    errno = EAGAIN;
    return -1;
  }
  return __real_fork();
}

int __wrap_pthread_mutexattr_init(pthread_mutexattr_t* attr) {
  return tavuFailNow("pthread_mutexattr_init") ? ENOMEM : __real_pthread_mutexattr_init(attr);
}

int __wrap_pthread_mutexattr_settype(pthread_mutexattr_t* attr, int type) {
  return tavuFailNow("pthread_mutexattr_settype") ? EINVAL
                                                  : __real_pthread_mutexattr_settype(attr, type);
}

int __wrap_pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attr) {
  return tavuFailNow("pthread_mutex_init") ? ENOMEM : __real_pthread_mutex_init(mutex, attr);
}

int __wrap_pthread_cond_init(pthread_cond_t* cond, const pthread_condattr_t* attr) {
  return tavuFailNow("pthread_cond_init") ? ENOMEM : __real_pthread_cond_init(cond, attr);
}

int __wrap_pthread_attr_init(pthread_attr_t* attr) {
  return tavuFailNow("pthread_attr_init") ? ENOMEM : __real_pthread_attr_init(attr);
}

int __wrap_pthread_attr_setdetachstate(pthread_attr_t* attr, int state) {
  return tavuFailNow("pthread_attr_setdetachstate")
             ? EINVAL
             : __real_pthread_attr_setdetachstate(attr, state);
}

int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                          void* arg) {
  if (tavuFailNow("pthread_create")) return EAGAIN;
  const char* name = g_threadsCreated.fetch_add(1) == 0 ? "worker" : "reader";
  auto* launch = new tavuThreadStart{start, arg, name};
  const int rc = __real_pthread_create(thread, attr, tavuNamedThread, launch);
  if (rc != 0) delete launch;
  return rc;
}

int __wrap_pthread_mutex_lock(pthread_mutex_t* mutex) {
  return tavuFailNow("pthread_mutex_lock", tavuMutexName(mutex)) ? EINVAL
                                                                 : __real_pthread_mutex_lock(mutex);
}

int __wrap_pthread_mutex_unlock(pthread_mutex_t* mutex) {
  return tavuFailNow("pthread_mutex_unlock", tavuMutexName(mutex))
             ? EPERM
             : __real_pthread_mutex_unlock(mutex);
}

int __wrap_pthread_cond_wait(pthread_cond_t* cond, pthread_mutex_t* mutex) {
  return tavuFailNow("pthread_cond_wait", tavuCondName(cond))
             ? EINVAL
             : __real_pthread_cond_wait(cond, mutex);
}

int __wrap_socket(int family, int type, int protocol) {
  if (tavuFailNow("socket", tavuFamilyName(family))) {
    errno = EMFILE;
    return -1;
  }
  return __real_socket(family, type, protocol);
}

int __wrap_setsockopt(int fd, int level, int name, const void* value, socklen_t length) {
  if (tavuFailNow("setsockopt", tavuSocketFamily(fd))) {
    errno = EPERM;
    return -1;
  }
  return __real_setsockopt(fd, level, name, value, length);
}

int __wrap_bind(int fd, const sockaddr* address, socklen_t length) {
  if (tavuFailNow("bind", tavuFamilyName(address->sa_family))) {
    errno = EADDRINUSE;
    return -1;
  }
  return __real_bind(fd, address, length);
}

int __wrap_listen(int fd, int backlog) {
  if (tavuFailNow("listen")) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return __real_listen(fd, backlog);
}

int __wrap_accept(int fd, sockaddr* address, socklen_t* length) {
  if (tavuFailNow("accept")) {
    errno = ECONNABORTED;
    return -1;
  }
  return __real_accept(fd, address, length);
}

ssize_t __wrap_recv(int fd, void* buffer, size_t length, int flags) {
  if (tavuFailNow("recv", tavuSocketFamily(fd))) {
    errno = ECONNRESET;
    return -1;
  }
  return __real_recv(fd, buffer, length, flags);
}

ssize_t __wrap_send(int fd, const void* buffer, size_t length, int flags) {
  if (tavuFailNow("send", tavuSocketFamily(fd))) {
    errno = EPIPE;
    return -1;
  }
  return __real_send(fd, buffer, length, flags);
}

}  // extern "C"
