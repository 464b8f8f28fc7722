// The uevent socket reader: receives the kernel's hot-plug datagrams and
// queues an exact copy of each for the worker. It never looks inside one.
#include <errno.h>
#include <linux/netlink.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "intake.h"
#include "netlink_event.h"
#include "queues.h"
#include "report.h"

TAVU_REPORTS_AS("tavuMonitorNetlinkSocket")

namespace {

// Receive buffer asked of the kernel, beyond its ordinary per-socket limit.
constexpr int32_t TAVU_UEVENT_RCVBUF_SIZE = 262144;
// Real-time (SCHED_FIFO) priority of the reader thread, where permitted.
constexpr int TAVU_READER_PRIORITY = 10;

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
  TAVU_REPORT("%s:%s: netlink port %d taken by another socket, bound to port %d\n", taken,
              static_cast<int32_t>(address.nl_pid));
  return true;
}

// Makes, sizes and binds the uevent socket.
tavuStopScope tavuOpenUeventSocket() {
  const sockaddr_nl address = tavuUeventAddress(getpid());
  const int fd = socket(AF_NETLINK, SOCK_DGRAM, NETLINK_KOBJECT_UEVENT);
  // Stored before the test: -1 is the stop value as well.
  g_netlinkSocketFd.store(fd, std::memory_order_release);
  if (fd == -1)
    return TAVU_REPORTED(TAVU_STOP_SIGNAL_ONLY, "%s:%s: Exiting, socket create failed\n");
  const int32_t size = TAVU_UEVENT_RCVBUF_SIZE;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
    return TAVU_REPORTED(TAVU_STOP_BOTH, "%s:%s: setsockopt(SO_RCVBUFFORCE) error, errno=%d\n",
                         errno);
  }
  TAVU_TRACE("%s:%s: receive buffer forced to %d bytes\n", size);
  if (!tavuBindUeventSocket(g_netlinkSocketFd.load(std::memory_order_acquire), address)) {
    return TAVU_REPORTED(TAVU_STOP_BOTH, "%s:%s: Exiting, bind of netlink socket failed\n");
  }
  TAVU_TRACE("%s:%s: running\n");
  return TAVU_GO_ON;
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

// The worker finds its queue as it was and waits again.
void tavuReportReceiveError(int error) {
  TAVU_REPORT(
      "%s:%s: recv error, errno=%d, netlinkDataQueue size: %d, hpEvQueue size: %d, "
      "sent to client: %d\n",
      error, g_netlinkDataQueue.size(), g_hpEvQueue.size(), g_sentToClient.load());
  (void)pthread_cond_signal(&g_netlinkDataQueue_cond);
}

// Turns one receive result of n bytes into a record on g_netlinkDataQueue
// and wakes the worker.
tavuStopScope tavuQueueDatagram(const char* buffer, ssize_t n) {
  g_totalNetlinkEvents.fetch_add(1, std::memory_order_relaxed);
  NetlinkDatagram* datagram = tavuNewDatagram(buffer, n);
  if (pthread_mutex_lock(&g_netlinkDataQueue_mutex) != 0) {
    tavuFreeDatagram(datagram);
    return TAVU_REPORTED(TAVU_STOP_BOTH,
                         "%s:%s: Exiting, pthread_mutex_lock(netlinkDataQueue) failed\n");
  }
  g_netlinkDataQueue.push_back(datagram);
  const int rc = pthread_mutex_unlock(&g_netlinkDataQueue_mutex);
  if (rc != 0) {
    return TAVU_REPORTED(TAVU_STOP_BOTH,
                         "%s:%s: Exiting, pthread_mutex_unlock(netlinkDataQueue) failed rc=%d\n",
                         rc);
  }
  (void)pthread_cond_signal(&g_netlinkDataQueue_cond);
  return TAVU_GO_ON;
}

// Until the loop test fails or a datagram cannot be queued.
tavuStopScope tavuReceiveUntilStopped() {
  const tavuStopScope opened = tavuOpenUeventSocket();
  if (opened != TAVU_GO_ON) return opened;
  char buffer[TAVU_UEVENT_MAX];
  int failures = 0;
  while (tavuDescriptorInUse(g_netlinkSocketFd)) {
    const ssize_t n = tavuReceiveDatagram(buffer);
    if (n == -1) {
      tavuReportReceiveError(errno);
      tavuPauseAfterFailures(++failures);
      continue;
    }
    failures = 0;
    const tavuStopScope queued = tavuQueueDatagram(buffer, n);
    if (queued != TAVU_GO_ON) return queued;
  }
  return TAVU_STOP_BOTH;
}

}  // namespace

void* tavuMonitorNetlinkSocket(void* /*unused*/) {
  (void)pthread_setname_np(pthread_self(), "tavu-reader");  // as ps and top show it
  tavuRaiseReaderPriority();
  tavuStopIntake(tavuReceiveUntilStopped());
  return nullptr;
}
