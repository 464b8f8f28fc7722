// Link-time fault injection and observation for the intake tests. The test
// executable wraps the calls listed in tests/intake/CMakeLists.txt; the
// wrappers pass every call through unless a fault is armed, and count what
// the tests need to see. Production code is untouched.
//
// A failed call leaves the lock as an error-checking mutex would after such
// a failure: a refused lock is not taken; a refused unlock or wait means the
// caller did not own the lock, so after it the caller does not own it.
#pragma once

#include <pthread.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <string>
#include <vector>

enum tavuFaultCall {
  TAVU_FAULT_MUTEX_LOCK,    // returns `code`, lock not taken
  TAVU_FAULT_MUTEX_UNLOCK,  // returns `code`, lock released
  TAVU_FAULT_COND_WAIT,     // returns `code` at once, lock released
  TAVU_FAULT_SOCKET,        // returns -1 with errno `code`
  TAVU_FAULT_RECV,          // returns -1 with errno `code`
};

// Makes calls of `call` on `object` (a mutex or condition; null for any)
// fail with `code`: `count` calls after the first `skip` matching ones.
// Only calls made by threads other than the arming thread count, so the
// test thread can still use the queues it inspects.
void tavuArmFault(tavuFaultCall call, const void* object, int code, int skip = 0, int count = 1);
void tavuClearFaults();

// pthread_cond_signal calls on `cond` (one of the two queue conditions)
// since the last reset.
int tavuSignalCount(const pthread_cond_t* cond);

struct tavuRecvStats {
  int entered = 0;      // recv calls made
  int interrupted = 0;  // of which returned EINTR
  int lastFd = 0;       // descriptor of the latest call
};
tavuRecvStats tavuRecvSeen();

// The latest descriptor made by a wrapped socket() call (the reader's).
int tavuLastSocketMade();

// What the interpreter was handed, in order. Datagrams that begin with
// TAVU_SCRIPT_* are answered by the script below; all others go to the real
// interpreter.
std::vector<std::string> tavuInterpreterCalls();

// Scripted datagrams: "tavutest:accept:<seq>" makes an event with that
// iv_seq and iv_path "/test/<seq>"; "tavutest:reject" is refused;
// "tavutest:nullevent" says it is an event but hands out no record.
std::string tavuScriptAccept(int seq);
extern const char TAVU_SCRIPT_REJECT[];
extern const char TAVU_SCRIPT_NULL_EVENT[];

// Clears faults, counts and recorded calls.
void tavuResetFaultsAndCounts();

// The unwrapped calls, for the tests' own sockets and locks.
extern "C" {
int __real_socket(int family, int type, int protocol);
int __real_pthread_mutex_lock(pthread_mutex_t* mutex);
int __real_pthread_mutex_unlock(pthread_mutex_t* mutex);
}
