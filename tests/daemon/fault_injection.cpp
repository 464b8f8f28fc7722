// Link-time fault injection for the daemon: the test build wraps the calls
// listed in TAVU_WRAPPED_CALLS (tests/daemon/CMakeLists.txt), and
//   TAVU_FAIL="call[#n],call[#n]..."
// makes the n-th call (the first when #n is absent) of each named call fail
// the way the C library reports failure. Production code is untouched.
#include <errno.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct tavuFault {
  const char* call;
  std::atomic<int> calls{0};
  int failAt = 0;  // 0: never
};

tavuFault g_faults[] = {
    {"fork"},
    {"pthread_mutexattr_init"},
    {"pthread_mutexattr_settype"},
    {"pthread_mutex_init"},
    {"pthread_cond_init"},
    {"pthread_attr_init"},
    {"pthread_attr_setdetachstate"},
    {"pthread_create"},
};

void tavuReadFaultPlan() {
  const char* plan = std::getenv("TAVU_FAIL");
  if (plan == nullptr) return;
  std::string rest = plan;
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    std::string item = rest.substr(0, comma);
    rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    int at = 1;
    const size_t hash = item.find('#');
    if (hash != std::string::npos) {
      at = std::atoi(item.c_str() + hash + 1);
      item.resize(hash);
    }
    for (tavuFault& fault : g_faults) {
      if (item == fault.call) fault.failAt = at;
    }
  }
}

// True when this call of `call` is the one to fail.
bool tavuFailNow(const char* call) {
  static const bool planned = (tavuReadFaultPlan(), true);
  (void)planned;
  for (tavuFault& fault : g_faults) {
    if (std::strcmp(fault.call, call) == 0) return ++fault.calls == fault.failAt;
  }
  return false;
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
  return tavuFailNow("pthread_attr_setdetachstate") ? EINVAL
                                                     : __real_pthread_attr_setdetachstate(attr, state);
}

int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                          void* arg) {
  return tavuFailNow("pthread_create") ? EAGAIN : __real_pthread_create(thread, attr, start, arg);
}

}  // extern "C"
