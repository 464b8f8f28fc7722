// Start-up: names the program, leaves the launcher behind, tidies what it
// inherited, prepares the queue locks, starts the two intake threads, waits
// for the client and only then creates the trace buffer.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "client_channel.h"
#include "daemon.h"
#include "dev_nodes.h"
#include "intake.h"
#include "queues.h"
#include "report.h"
#include "trace_buffer_format.h"

TAVU_REPORTS_AS("main")

namespace {

constexpr uint32_t TAVU_TRACE_BUFFER_SIZE = 32000;

void tavuOpenStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    // open takes the lowest free descriptor: this very one.
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) (void)open("/dev/null", O_RDWR);
  }
}

// Kernels before 5.9 have no close_range: the descriptors are listed in
// /proc, or else tried one by one up to the limit.
void tavuCloseOneByOne() {
  std::vector<int> inherited;
  DIR* listing = opendir("/proc/self/fd");
  for (const dirent* entry = listing != nullptr ? readdir(listing) : nullptr; entry != nullptr;
       entry = readdir(listing)) {
    const int fd = std::atoi(entry->d_name);
    if (fd > STDERR_FILENO && fd != dirfd(listing)) inherited.push_back(fd);
  }
  if (listing != nullptr) {
    closedir(listing);
  } else {
    const long limit = sysconf(_SC_OPEN_MAX);
    for (int fd = STDERR_FILENO + 1; fd < limit; ++fd) inherited.push_back(fd);
  }
  for (const int fd : inherited) close(fd);
}

// Standard input, output and error closed by the launcher are opened on
// /dev/null, so that no socket of the daemon ever takes one of them; every
// other descriptor inherited is closed, as a launcher that waits for the end
// of a pipe it gave would wait for good; SIGPIPE is ignored (a disposition,
// not a handler), so that a report printed into a closed pipe costs the
// report, not the daemon.
void tavuTidyInheritedProcess() {
  tavuOpenStandardDescriptors();
  if (close_range(STDERR_FILENO + 1, UINT_MAX, 0) != 0) tavuCloseOneByOne();
  (void)signal(SIGPIPE, SIG_IGN);
}

// The parent ends at once; the child carries on as the daemon in its own
// session, in "/", with group and others unable to write what it creates.
void tavuDetach() {
  const pid_t pid = fork();
  if (pid < 0) TAVU_EXIT(-1, "%s:%s: Exiting, fork failed\n");
  if (pid > 0) _exit(0);
  (void)chdir("/");
  umask(022);
  (void)setsid();
  tavuTidyInheritedProcess();
}

// Told once, at start: the worker tries again at every event, silently.
void tavuOpenDev() {
  const int error = tavuDevUsable();
  if (error == 0) return;
  TAVU_REPORT("%s:%s: /dev cannot be used, errno=%d: no node is made or removed until it can\n",
              error);
}

// Error-checking mutexes: a broken locking rule returns an error instead of
// blocking, and every lock call reacts to that error.
void tavuInitQueueLocks() {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) {
    TAVU_EXIT(-1, "%s:%s: Exiting, failed pthread_mutexattr_init\n");
  }
  if (pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK) != 0) {
    TAVU_EXIT(-1, "%s:%s: Exiting, failed pthread_mutexattr_settype\n");
  }
  if (pthread_mutex_init(&g_netlinkDataQueue_mutex, &attr) != 0) {
    TAVU_EXIT(-1, "%s:%s: Exiting, failed pthread_mutex_init(netlinkDataQueue)\n");
  }
  if (pthread_mutex_init(&g_hpEvQueue_mutex, &attr) != 0) {
    TAVU_EXIT(-1, "%s:%s: Exiting, failed pthread_mutex_init(hpEvQueue)\n");
  }
  (void)pthread_mutexattr_destroy(&attr);
  if (pthread_cond_init(&g_netlinkDataQueue_cond, nullptr) != 0) {
    TAVU_EXIT(-1, "%s:%s: Exiting, failed pthread_cond_init(netlinkDataQueue)\n");
  }
  if (pthread_cond_init(&g_hpEvQueue_cond, nullptr) != 0) {
    TAVU_EXIT(-1, "%s:%s: Exiting, failed pthread_cond_init(hpEvQueue)\n");
  }
}

// The worker first, so that it waits on its queue before anything arrives.
void tavuStartIntakeThreads() {
  pthread_attr_t attr;
  pthread_t thread;
  if (pthread_attr_init(&attr) != 0) {
    TAVU_EXIT(-1, "%s:%s: Exiting, failed creating thread attributes\n");
  }
  if (pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) != 0) {
    TAVU_EXIT(-1, "%s:%s: Exiting, failed setting detached state thread attribute\n");
  }
  if (pthread_create(&thread, &attr, tavuMonitorNetlinkEventQueue, nullptr) != 0) {
    TAVU_EXIT(-1, "%s:%s: Exiting, failed creating tavuMonitorNetlinkEventQueue thread\n");
  }
  if (pthread_create(&thread, &attr, tavuMonitorNetlinkSocket, nullptr) != 0) {
    TAVU_EXIT(-1, "%s:%s: Exiting, failed creating tavuMonitorNetlinkSocket thread\n");
  }
  (void)pthread_attr_destroy(&attr);
}

// From here on every report of every thread goes to the trace buffer.
void tavuOpenTraceBuffer() {
  // The library may keep the address and fill the descriptor in place; the
  // other threads look at it only after the flag below publishes it.
  (void)trace_kelu_init_buffer(&g_netlinkTrace, TAVU_TRACE_BUFFER_NAME, TAVU_TRACE_BUFFER_SIZE);
  g_tracInitCalled.store(1, std::memory_order_release);
  TAVU_TRACE("%s:%s: running\n");
}

// The text after the last "/" of the program's path, or all of it.
const char* tavuBaseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

}  // namespace

void tavuStartUp(const char* argv0) {
  g_progName = tavuBaseName(argv0);
  tavuDetach();
  tavuOpenDev();
  tavuInitQueueLocks();
  tavuStartIntakeThreads();
  tavunetlink_GetClientConnection();
  tavuOpenTraceBuffer();
}
