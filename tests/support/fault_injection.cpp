// Link-time fault injection for the daemon: its test build wraps the calls
// below (tests/CMakeLists.txt), and
//
//   TAVU_FAULTS="item,item..."   item = call[:object][@thread][#n][+][^]
//
// makes the n-th matching call (the first when #n is absent; with "+", that
// one and every later one) fail the way the C library reports failure; with
// "^", calls made before the uevent socket is bound do not count.
// `object` narrows a lock or wait to one queue (netlinkDataQueue,
// hpEvQueue), a socket call to a family (unix, netlink) and open to a path
// ("dev" for /dev); `thread` to main, worker or reader. "openat2" is the
// system call, as a kernel before 5.6 answers it; "statx" answers without
// the mount, as one before 5.8 does. The daemon's own code is untouched.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "queues.h"

namespace {

struct tavuFaultItem {
  std::string call, object, thread;
  int from = 1;
  bool onwards = false, afterBind = false;
  std::atomic<int> calls{0};
};

// Read without the thread sanitizer's eyes (see pthread_attr_init below);
// set while the plan is read, at the first wrapped call, before any thread.
bool g_attrInitPlanned = false;

std::vector<tavuFaultItem*>& tavuFaultPlan() {
  static auto* plan = [] {
    auto* items = new std::vector<tavuFaultItem*>;
    const std::string all = std::getenv("TAVU_FAULTS") != nullptr ? std::getenv("TAVU_FAULTS") : "";
    static const std::regex item(R"((\w+)(?::(\w+))?(?:@(\w+))?(?:#(\d+))?(\+)?(\^)?(,|$))");
    for (std::sregex_iterator at(all.begin(), all.end(), item), end; at != end; ++at) {
      const std::smatch& m = *at;
      auto* fault = new tavuFaultItem{
          m[1], m[2], m[3], m[4].matched ? std::stoi(m[4]) : 1, m[5].matched, m[6].matched};
      g_attrInitPlanned = g_attrInitPlanned || fault->call == "pthread_attr_init";
      items->push_back(fault);
    }
    return items;
  }();
  return *plan;
}

std::atomic<bool> g_ueventBound{false};

// The daemon names its two threads; any other is the main thread.
std::string tavuThreadName() {
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return std::strcmp(name, "tavu-worker") == 0   ? "worker"
         : std::strcmp(name, "tavu-reader") == 0 ? "reader"
                                                 : "main";
}

// Every item that matches counts the call, whichever of them fails it.
bool tavuFailNow(const char* call, const std::string& object) {
  bool fail = false;
  for (tavuFaultItem* item : tavuFaultPlan()) {
    if (item->call != call || (!item->object.empty() && item->object != object) ||
        (!item->thread.empty() && item->thread != tavuThreadName()) ||
        (item->afterBind && !g_ueventBound)) {
      continue;
    }
    const int n = ++item->calls;
    fail = fail || n == item->from || (item->onwards && n > item->from);
  }
  return fail;
}

std::string tavuQueueName(const void* object) {
  if (object == &g_netlinkDataQueue_mutex || object == &g_netlinkDataQueue_cond)
    return "netlinkDataQueue";
  return object == &g_hpEvQueue_mutex || object == &g_hpEvQueue_cond ? "hpEvQueue" : "other";
}

std::string tavuFamilyName(int family) {
  return family == AF_UNIX ? "unix" : family == AF_NETLINK ? "netlink" : "other";
}

std::string tavuSocketFamily(int fd) {
  int family = AF_UNSPEC;
  socklen_t length = sizeof family;
  getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &family, &length);
  return tavuFamilyName(family);
}

}  // namespace

// A wrapped call: fails as `failure` says when the plan picks it.
// clang-format off
#define TAVU_WRAP(type, call, params, args, object, failure) \
  type __real_##call params;                                 \
  type __wrap_##call params {                                \
    if (tavuFailNow(#call, object)) failure;                 \
    return __real_##call args;                               \
  }
#define TAVU_ERRNO(value) { errno = value; return -1; }

extern "C" {

TAVU_WRAP(pid_t, fork, (), (), "", TAVU_ERRNO(EAGAIN))
TAVU_WRAP(void*, calloc, (size_t n, size_t size), (n, size), "", return nullptr)
TAVU_WRAP(int, pthread_mutexattr_init, (pthread_mutexattr_t* a), (a), "", return ENOMEM)
TAVU_WRAP(int, pthread_mutexattr_settype, (pthread_mutexattr_t* a, int t), (a, t), "", return EINVAL)
TAVU_WRAP(int, pthread_mutex_init, (pthread_mutex_t* m, const pthread_mutexattr_t* a), (m, a), "", return ENOMEM)
TAVU_WRAP(int, pthread_cond_init, (pthread_cond_t* c, const pthread_condattr_t* a), (c, a), "", return ENOMEM)
TAVU_WRAP(int, pthread_attr_setdetachstate, (pthread_attr_t* a, int s), (a, s), "", return EINVAL)
TAVU_WRAP(int, pthread_mutex_lock, (pthread_mutex_t* m), (m), tavuQueueName(m), return EINVAL)
TAVU_WRAP(int, pthread_mutex_unlock, (pthread_mutex_t* m), (m), tavuQueueName(m), return EPERM)
TAVU_WRAP(int, pthread_cond_wait, (pthread_cond_t* c, pthread_mutex_t* m), (c, m), tavuQueueName(c), return EINVAL)
TAVU_WRAP(int, socket, (int f, int t, int p), (f, t, p), tavuFamilyName(f), TAVU_ERRNO(EMFILE))
TAVU_WRAP(int, setsockopt, (int fd, int l, int n, const void* v, socklen_t s), (fd, l, n, v, s), tavuSocketFamily(fd), TAVU_ERRNO(EPERM))
TAVU_WRAP(int, listen, (int fd, int b), (fd, b), "", TAVU_ERRNO(EOPNOTSUPP))
TAVU_WRAP(int, accept, (int fd, sockaddr* a, socklen_t* l), (fd, a, l), "", TAVU_ERRNO(ECONNABORTED))
TAVU_WRAP(ssize_t, recv, (int fd, void* b, size_t n, int f), (fd, b, n, f), tavuSocketFamily(fd), TAVU_ERRNO(ECONNRESET))
TAVU_WRAP(int, close_range, (unsigned first, unsigned last, int f), (first, last, f), "", TAVU_ERRNO(ENOSYS))
TAVU_WRAP(ssize_t, send, (int fd, const void* b, size_t n, int f), (fd, b, n, f), tavuSocketFamily(fd), TAVU_ERRNO(EPIPE))
// clang-format on

// open's mode argument is there only when a file may be made; on a 32-bit
// board with 64-bit offsets the daemon calls it as open64.
#define TAVU_WRAP_OPEN(call)                                                                       \
  int __real_##call(const char* path, int flags, ...);                                             \
  int __wrap_##call(const char* path, int flags, ...) {                                            \
    va_list args;                                                                                  \
    va_start(args, flags);                                                                         \
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0;           \
    va_end(args);                                                                                  \
    if (tavuFailNow("open", std::strcmp(path, "/dev") == 0 ? "dev" : "other")) TAVU_ERRNO(ENOTDIR) \
    return __real_##call(path, flags, mode);                                                       \
  }
TAVU_WRAP_OPEN(open)
TAVU_WRAP_OPEN(open64)

// The daemon makes one system call by number: openat2, of four words.
long __real_syscall(long number, ...);
long __wrap_syscall(long number, long a, long b, long c, long d) {
  if (number == SYS_openat2 && tavuFailNow("openat2", "")) TAVU_ERRNO(ENOSYS)
  return __real_syscall(number, a, b, c, d);
}

int __real_statx(int fd, const char* path, int flags, unsigned mask, struct statx* status);
int __wrap_statx(int fd, const char* path, int flags, unsigned mask, struct statx* status) {
  const int rc = __real_statx(fd, path, flags, mask, status);
  if (rc == 0 && tavuFailNow("statx", "")) status->stx_mask &= ~STATX_MNT_ID;
  return rc;
}

int __real_bind(int fd, const sockaddr* address, socklen_t length);
int __wrap_bind(int fd, const sockaddr* address, socklen_t length) {
  const std::string family = tavuFamilyName(address->sa_family);
  if (tavuFailNow("bind", family)) TAVU_ERRNO(EADDRINUSE)
  const int rc = __real_bind(fd, address, length);
  if (rc == 0 && family == "netlink") g_ueventBound = true;
  return rc;
}

// The thread sanitizer's runtime calls this too, from a thread it has not
// set up yet: nothing it watches may be touched then.
int __real_pthread_attr_init(pthread_attr_t* attr);
__attribute__((no_sanitize("thread"))) int __wrap_pthread_attr_init(pthread_attr_t* attr) {
  if (g_attrInitPlanned && tavuFailNow("pthread_attr_init", "")) return ENOMEM;
  return __real_pthread_attr_init(attr);
}

// clang-format off
TAVU_WRAP(int, pthread_create, (pthread_t* t, const pthread_attr_t* a, void* (*start)(void*), void* arg), (t, a, start, arg), "", return EAGAIN)
// clang-format on

}  // extern "C"
