#include "daemon/startup.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "client/client_connection.h"
#include "daemon/globals.h"
#include "daemon/process_hygiene.h"
#include "daemon/report.h"
#include "devnodes/dev_walk.h"
#include "intake/intake_threads.h"

namespace {

constexpr char TAVU_TRACE_BUFFER_NAME[] = "TAVUNL";
constexpr uint32_t TAVU_TRACE_BUFFER_SIZE = 32000;

#define TAVU_STARTUP_FATAL(text)           \
  do {                                     \
    TAVU_REPORT(text, g_progName, "main"); \
    std::exit(-1);                         \
  } while (0)

// The parent ends at once; the child carries on as the daemon in its own
// session, in "/", with group and others unable to write what it creates.
void tavuDetach() {
  const pid_t pid = fork();
  if (pid < 0) TAVU_STARTUP_FATAL("%s:%s: Exiting, fork failed\n");
  if (pid > 0) _exit(0);
  (void)chdir("/");
  umask(022);
  (void)setsid();
  tavuTidyInheritedProcess();
}

// Told once, at start: the worker tries again at every event, silently.
void tavuOpenDev() {
  const int error = tavuOpenDevRoot();
  if (error == 0) return;
  TAVU_REPORT("%s:%s: /dev cannot be used, errno=%d: no node is made or removed until it can\n",
              g_progName, "main", error);
}

}  // namespace

// Error-checking mutexes: a broken locking rule returns an error instead of
// blocking, and every lock call reacts to that error.
void tavuInitQueueLocks() {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) {
    TAVU_STARTUP_FATAL("%s:%s: Exiting, failed pthread_mutexattr_init\n");
  }
  if (pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK) != 0) {
    TAVU_STARTUP_FATAL("%s:%s: Exiting, failed pthread_mutexattr_settype\n");
  }
  if (pthread_mutex_init(&g_netlinkDataQueue_mutex, &attr) != 0) {
    TAVU_STARTUP_FATAL("%s:%s: Exiting, failed pthread_mutex_init(netlinkDataQueue)\n");
  }
  if (pthread_mutex_init(&g_hpEvQueue_mutex, &attr) != 0) {
    TAVU_STARTUP_FATAL("%s:%s: Exiting, failed pthread_mutex_init(hpEvQueue)\n");
  }
  (void)pthread_mutexattr_destroy(&attr);
  if (pthread_cond_init(&g_netlinkDataQueue_cond, nullptr) != 0) {
    TAVU_STARTUP_FATAL("%s:%s: Exiting, failed pthread_cond_init(netlinkDataQueue)\n");
  }
  if (pthread_cond_init(&g_hpEvQueue_cond, nullptr) != 0) {
    TAVU_STARTUP_FATAL("%s:%s: Exiting, failed pthread_cond_init(hpEvQueue)\n");
  }
}

namespace {

// The worker first, so that it waits on its queue before anything arrives.
void tavuStartIntakeThreads() {
  pthread_attr_t attr;
  pthread_t thread;
  if (pthread_attr_init(&attr) != 0) {
    TAVU_STARTUP_FATAL("%s:%s: Exiting, failed creating thread attributes\n");
  }
  if (pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) != 0) {
    TAVU_STARTUP_FATAL("%s:%s: Exiting, failed setting detached state thread attribute\n");
  }
  if (pthread_create(&thread, &attr, tavuMonitorNetlinkEventQueue, nullptr) != 0) {
    TAVU_STARTUP_FATAL("%s:%s: Exiting, failed creating tavuMonitorNetlinkEventQueue thread\n");
  }
  if (pthread_create(&thread, &attr, tavuMonitorNetlinkSocket, nullptr) != 0) {
    TAVU_STARTUP_FATAL("%s:%s: Exiting, failed creating tavuMonitorNetlinkSocket thread\n");
  }
  (void)pthread_attr_destroy(&attr);
}

// From here on every report of every thread goes to the trace buffer.
void tavuOpenTraceBuffer() {
  // The library may keep the address and fill the descriptor in place; the
  // other threads look at it only after the flag below publishes it.
  (void)trace_kelu_init_buffer(&g_netlinkTrace, TAVU_TRACE_BUFFER_NAME, TAVU_TRACE_BUFFER_SIZE);
  g_tracInitCalled.store(1, std::memory_order_release);
  TAVU_TRACE("%s:%s: running\n", g_progName, "main");
}

}  // namespace

const char* tavuBaseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

void tavuStartUp(const char* argv0) {
  g_progName = tavuBaseName(argv0);
  tavuDetach();
  tavuOpenDev();
  tavuInitQueueLocks();
  tavuStartIntakeThreads();
  tavunetlink_GetClientConnection();
  tavuOpenTraceBuffer();
}
