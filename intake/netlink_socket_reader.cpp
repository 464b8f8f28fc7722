// The uevent socket reader: receives the kernel's hot-plug datagrams and
// queues an exact copy of each for the worker. It never looks inside one.
#include "intake/netlink_socket_reader.h"

#include <errno.h>
#include <linux/netlink.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "daemon/globals.h"
#include "daemon/report.h"
#include "intake/datagram_record.h"
#include "intake/intake_stop.h"
#include "intake/intake_threads.h"

namespace {

constexpr const char* TAVU_READER = "tavuMonitorNetlinkSocket";

// A burst must be taken off the socket faster than the worker makes nodes,
// or the kernel drops what no longer fits in the buffer. Between two
// receives the reader only copies and appends, so it cannot starve anyone.
void tavuRaiseReaderPriority() {
  sched_param param{};
  param.sched_priority = TAVU_READER_PRIORITY;
  // Without the privilege the reader keeps the ordinary policy.
  (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

static_assert(sizeof(sockaddr_nl) == 12, "the uevent socket's address is 12 bytes");

sockaddr_nl tavuUeventAddress(pid_t pid) {
  sockaddr_nl address;
  std::memset(&address, 0, sizeof address);
  address.nl_family = AF_NETLINK;
  address.nl_pid = static_cast<uint32_t>(pid);
  address.nl_groups = 0xFFFFFFFFu;  // every multicast group
  return address;
}

bool tavuBindTo(int fd, const sockaddr_nl& address) {
  return bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// Any user can take the port id of the process before it binds; then the
// kernel chooses another, so that nobody can keep the daemon deaf.
bool tavuBindUeventSocket(int fd, sockaddr_nl address) {
  if (tavuBindTo(fd, address)) return true;
  if (errno != EADDRINUSE) return false;
  const auto taken = static_cast<int32_t>(address.nl_pid);
  address.nl_pid = 0;
  if (!tavuBindTo(fd, address)) return false;
  socklen_t length = sizeof address;
  (void)getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  TAVU_REPORT("%s:%s: netlink port %d taken by another socket, bound to port %d\n", g_progName,
              TAVU_READER, taken, static_cast<int32_t>(address.nl_pid));
  return true;
}

// Makes, sizes and binds the uevent socket. Returns false once the thread's
// end steps are done.
bool tavuOpenUeventSocket() {
  const sockaddr_nl address = tavuUeventAddress(getpid());
  const int fd = socket(AF_NETLINK, SOCK_DGRAM, NETLINK_KOBJECT_UEVENT);
  // Stored before the test: -1 is the stop value as well.
  g_netlinkSocketFd.store(fd, std::memory_order_release);
  if (fd == -1) {
    TAVU_REPORT("%s:%s: Exiting, socket create failed\n", g_progName, TAVU_READER);
    tavuStopIntake(TAVU_STOP_SIGNAL_ONLY);
    return false;
  }
  const int32_t size = TAVU_UEVENT_RCVBUF_SIZE;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
    const int error = errno;
    TAVU_REPORT("%s:%s: setsockopt(SO_RCVBUFFORCE) error, errno=%d\n", g_progName, TAVU_READER,
                error);
    tavuStopIntake(TAVU_STOP_BOTH);
    return false;
  }
  TAVU_TRACE("%s:%s: receive buffer forced to %d bytes\n", g_progName, TAVU_READER, size);
  if (!tavuBindUeventSocket(g_netlinkSocketFd.load(std::memory_order_acquire), address)) {
    TAVU_REPORT("%s:%s: Exiting, bind of netlink socket failed\n", g_progName, TAVU_READER);
    tavuStopIntake(TAVU_STOP_BOTH);
    return false;
  }
  TAVU_TRACE("%s:%s: running\n", g_progName, TAVU_READER);
  return true;
}

// One datagram, or -1 with errno; an interrupted receive is repeated at
// once, on the descriptor as it is then.
ssize_t tavuReceiveDatagram(char* buffer) {
  ssize_t n;
  do {
    n = recv(g_netlinkSocketFd.load(std::memory_order_acquire), buffer, TAVU_UEVENT_MAX, 0);
  } while (n == -1 && errno == EINTR);
  return n;
}

// A lost datagram (a full buffer) is retried at once; an error that
// persists would spin at real-time priority, so each repeat waits twice as
// long as the one before, up to a second.
void tavuPauseAfterFailures(int failures) {
  if (failures < 2) return;
  const long milliseconds = 1L << std::min(failures - 2, 10);
  timespec pause{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) == -1 && errno == EINTR) {
  }
}

void tavuReportReceiveError(int error) {
  TAVU_REPORT(
      "%s:%s: recv error, errno=%d, netlinkDataQueue size: %d, hpEvQueue size: %d, "
      "sent to client: %d\n",
      g_progName, TAVU_READER, error, g_netlinkDataQueue.size(), g_hpEvQueue.size(),
      g_sentToClient.load());
}

}  // namespace

bool tavuQueueDatagram(const char* buffer, ssize_t n) {
  g_totalNetlinkEvents.fetch_add(1, std::memory_order_relaxed);
  NetlinkDatagram* datagram = tavuNewDatagram(buffer, n);
  if (pthread_mutex_lock(&g_netlinkDataQueue_mutex) != 0) {
    TAVU_REPORT("%s:%s: Exiting, pthread_mutex_lock(netlinkDataQueue) failed\n", g_progName,
                TAVU_READER);
    tavuStopIntake(TAVU_STOP_BOTH);
    tavuFreeDatagram(datagram);
    return false;
  }
  g_netlinkDataQueue.push_back(datagram);
  const int rc = pthread_mutex_unlock(&g_netlinkDataQueue_mutex);
  if (rc != 0) {
    TAVU_REPORT("%s:%s: Exiting, pthread_mutex_unlock(netlinkDataQueue) failed rc=%d\n", g_progName,
                TAVU_READER, rc);
    tavuStopIntake(TAVU_STOP_BOTH);
    return false;
  }
  (void)pthread_cond_signal(&g_netlinkDataQueue_cond);
  return true;
}

void* tavuMonitorNetlinkSocket(void* /*unused*/) {
  tavuRaiseReaderPriority();
  if (!tavuOpenUeventSocket()) return nullptr;
  char buffer[TAVU_UEVENT_MAX];
  int failures = 0;
  while (tavuDescriptorInUse(g_netlinkSocketFd)) {
    const ssize_t n = tavuReceiveDatagram(buffer);
    if (n == -1) {
      tavuReportReceiveError(errno);
      // The worker finds its queue as it was and waits again.
      (void)pthread_cond_signal(&g_netlinkDataQueue_cond);
      tavuPauseAfterFailures(++failures);
      continue;
    }
    failures = 0;
    if (!tavuQueueDatagram(buffer, n)) return nullptr;
  }
  tavuStopIntake(TAVU_STOP_BOTH);
  return nullptr;
}
