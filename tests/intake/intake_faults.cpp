#include "tests/intake/intake_faults.h"

#include <errno.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "daemon/globals.h"
#include "devnodes/netlink_event.h"

const char TAVU_SCRIPT_REJECT[] = "tavutest:reject";
const char TAVU_SCRIPT_NULL_EVENT[] = "tavutest:nullevent";

namespace {

constexpr char TAVU_SCRIPT_ACCEPT[] = "tavutest:accept:";
constexpr int TAVU_FAULT_KINDS = 5;

// One armed fault per kind is all the tests need.
struct tavuFault {
  std::atomic<pthread_t> armer{};
  std::atomic<const void*> object{nullptr};
  std::atomic<int> code{0};
  std::atomic<int> skip{0};
  std::atomic<int> count{0};
  std::atomic<bool> armed{false};
};

tavuFault g_faults[TAVU_FAULT_KINDS];

std::atomic<int> g_dataQueueSignals{0};
std::atomic<int> g_hpEvQueueSignals{0};

std::atomic<int> g_recvEntered{0};
std::atomic<int> g_recvInterrupted{0};
std::atomic<int> g_recvLastFd{0};
std::atomic<int> g_lastSocket{-1};

std::mutex g_callsLock;
std::vector<std::string> g_calls;

// Returns the code to fail with, or 0 to pass the call through.
int tavuFaultNow(tavuFaultCall call, const void* object) {
  tavuFault& fault = g_faults[call];
  if (!fault.armed.load()) return 0;
  if (pthread_equal(fault.armer.load(), pthread_self())) return 0;
  const void* target = fault.object.load();
  if (target != nullptr && target != object) return 0;
  if (fault.skip.fetch_sub(1) > 0) return 0;
  if (fault.count.fetch_sub(1) <= 1) fault.armed.store(false);
  return fault.code.load();
}

void tavuCountSignal(const pthread_cond_t* cond) {
  if (cond == &g_netlinkDataQueue_cond) g_dataQueueSignals.fetch_add(1);
  if (cond == &g_hpEvQueue_cond) g_hpEvQueueSignals.fetch_add(1);
}

}  // namespace

void tavuArmFault(tavuFaultCall call, const void* object, int code, int skip, int count) {
  tavuFault& fault = g_faults[call];
  fault.armed.store(false);
  fault.armer.store(pthread_self());
  fault.object.store(object);
  fault.code.store(code);
  fault.skip.store(skip);
  fault.count.store(count);
  fault.armed.store(true);
}

void tavuClearFaults() {
  for (tavuFault& fault : g_faults) fault.armed.store(false);
}

int tavuSignalCount(const pthread_cond_t* cond) {
  if (cond == &g_netlinkDataQueue_cond) return g_dataQueueSignals.load();
  if (cond == &g_hpEvQueue_cond) return g_hpEvQueueSignals.load();
  return 0;
}

tavuRecvStats tavuRecvSeen() {
  tavuRecvStats stats;
  stats.entered = g_recvEntered.load();
  stats.interrupted = g_recvInterrupted.load();
  stats.lastFd = g_recvLastFd.load();
  return stats;
}

int tavuLastSocketMade() {
  return g_lastSocket.load();
}

std::vector<std::string> tavuInterpreterCalls() {
  std::lock_guard<std::mutex> hold(g_callsLock);
  return g_calls;
}

std::string tavuScriptAccept(int seq) {
  return TAVU_SCRIPT_ACCEPT + std::to_string(seq);
}

void tavuResetFaultsAndCounts() {
  tavuClearFaults();
  g_dataQueueSignals.store(0);
  g_hpEvQueueSignals.store(0);
  g_recvEntered.store(0);
  g_recvInterrupted.store(0);
  g_lastSocket.store(-1);
  std::lock_guard<std::mutex> hold(g_callsLock);
  g_calls.clear();
}

extern "C" {

int __real_pthread_cond_wait(pthread_cond_t* cond, pthread_mutex_t* mutex);
int __real_pthread_cond_signal(pthread_cond_t* cond);
ssize_t __real_recv(int fd, void* buffer, size_t length, int flags);
int __real__Z22tavuHandleNetlinkEventjPKcPP16tavuNetlinkEvent(uint32_t length, const char* data,
                                                              tavuNetlinkEvent** event);

int __wrap_pthread_mutex_lock(pthread_mutex_t* mutex) {
  const int code = tavuFaultNow(TAVU_FAULT_MUTEX_LOCK, mutex);
  return code != 0 ? code : __real_pthread_mutex_lock(mutex);
}

int __wrap_pthread_mutex_unlock(pthread_mutex_t* mutex) {
  const int code = tavuFaultNow(TAVU_FAULT_MUTEX_UNLOCK, mutex);
  const int rc = __real_pthread_mutex_unlock(mutex);
  return code != 0 ? code : rc;
}

int __wrap_pthread_cond_wait(pthread_cond_t* cond, pthread_mutex_t* mutex) {
  const int code = tavuFaultNow(TAVU_FAULT_COND_WAIT, cond);
  if (code == 0) return __real_pthread_cond_wait(cond, mutex);
  (void)__real_pthread_mutex_unlock(mutex);
  return code;
}

int __wrap_pthread_cond_signal(pthread_cond_t* cond) {
  tavuCountSignal(cond);
  return __real_pthread_cond_signal(cond);
}

int __wrap_socket(int family, int type, int protocol) {
  const int code = tavuFaultNow(TAVU_FAULT_SOCKET, nullptr);
  if (code != 0) {
    errno = code;
    return -1;
  }
  const int fd = __real_socket(family, type, protocol);
  g_lastSocket.store(fd);
  return fd;
}

ssize_t __wrap_recv(int fd, void* buffer, size_t length, int flags) {
  g_recvEntered.fetch_add(1);
  g_recvLastFd.store(fd);
  const int code = tavuFaultNow(TAVU_FAULT_RECV, nullptr);
  if (code != 0) {
    errno = code;
    return -1;
  }
  const ssize_t n = __real_recv(fd, buffer, length, flags);
  if (n == -1 && errno == EINTR) g_recvInterrupted.fetch_add(1);
  return n;
}

int __wrap__Z22tavuHandleNetlinkEventjPKcPP16tavuNetlinkEvent(uint32_t length, const char* data,
                                                              tavuNetlinkEvent** event) {
  const std::string bytes(data != nullptr ? data : "", data != nullptr ? length : 0);
  {
    std::lock_guard<std::mutex> hold(g_callsLock);
    g_calls.push_back(bytes);
  }
  if (bytes.rfind(TAVU_SCRIPT_ACCEPT, 0) == 0) {
    auto* made = new tavuNetlinkEvent;
    made->iv_seq = std::atoi(bytes.c_str() + std::strlen(TAVU_SCRIPT_ACCEPT));
    made->iv_path = strdup(("/test/" + std::to_string(made->iv_seq)).c_str());
    made->iv_type = strdup("test");
    *event = made;
    return 1;
  }
  if (bytes == TAVU_SCRIPT_REJECT) return 0;
  if (bytes == TAVU_SCRIPT_NULL_EVENT) return 1;
  return __real__Z22tavuHandleNetlinkEventjPKcPP16tavuNetlinkEvent(length, data, event);
}

}  // extern "C"
