#include "tests/intake/intake_harness.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "daemon/globals.h"
#include "daemon/startup.h"
#include "devnodes/netlink_event.h"
#include "intake/datagram_record.h"
#include "intake/intake_threads.h"
#include "platform/trace_kelu.h"
#include "tests/intake/intake_faults.h"
#include "tests/support/test_support.h"

bool tavuWaitUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool tavuJoinWithin(pthread_t thread, int timeoutMs) {
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  const long long nanos = deadline.tv_nsec + 1000000LL * timeoutMs;
  deadline.tv_sec += static_cast<time_t>(nanos / 1000000000LL);
  deadline.tv_nsec = static_cast<long>(nanos % 1000000000LL);
  return pthread_timedjoin_np(thread, nullptr, &deadline) == 0;
}

void tavuQueueForWorker(const std::vector<const char*>& datagrams) {
  __real_pthread_mutex_lock(&g_netlinkDataQueue_mutex);
  for (const char* text : datagrams) {
    g_netlinkDataQueue.push_back(
        text == nullptr ? nullptr : tavuNewDatagram(text, static_cast<ssize_t>(std::strlen(text))));
  }
  __real_pthread_mutex_unlock(&g_netlinkDataQueue_mutex);
}

std::vector<int> tavuQueuedEventSeqs() {
  std::vector<int> seqs;
  __real_pthread_mutex_lock(&g_hpEvQueue_mutex);
  std::vector<tavuNetlinkEvent*> events;
  while (!g_hpEvQueue.empty()) {
    events.push_back(g_hpEvQueue.front());
    g_hpEvQueue.pop_front();
  }
  for (tavuNetlinkEvent* event : events) {
    seqs.push_back(event != nullptr ? event->iv_seq : -1);
    g_hpEvQueue.push_back(event);
  }
  __real_pthread_mutex_unlock(&g_hpEvQueue_mutex);
  return seqs;
}

std::vector<std::string> tavuQueuedDatagrams() {
  std::vector<std::string> records;
  std::vector<NetlinkDatagram*> held;
  __real_pthread_mutex_lock(&g_netlinkDataQueue_mutex);
  while (!g_netlinkDataQueue.empty()) {
    held.push_back(g_netlinkDataQueue.front());
    g_netlinkDataQueue.pop_front();
  }
  for (NetlinkDatagram* datagram : held) {
    if (datagram == nullptr) {
      records.push_back("(null)");
    } else {
      records.emplace_back(datagram->data, static_cast<size_t>(datagram->length));
    }
    g_netlinkDataQueue.push_back(datagram);
  }
  __real_pthread_mutex_unlock(&g_netlinkDataQueue_mutex);
  return records;
}

::testing::AssertionResult tavuQueueLocksFree() {
  for (pthread_mutex_t* mutex : {&g_netlinkDataQueue_mutex, &g_hpEvQueue_mutex}) {
    const int rc = pthread_mutex_trylock(mutex);
    if (rc != 0) {
      return ::testing::AssertionFailure()
             << (mutex == &g_hpEvQueue_mutex ? "g_hpEvQueue_mutex" : "g_netlinkDataQueue_mutex")
             << " is still held (trylock: " << rc << ")";
    }
    __real_pthread_mutex_unlock(mutex);
  }
  return ::testing::AssertionSuccess();
}

namespace {

// Start-up's part in the shared state: error-checking mutexes, default
// conditions. Made once; every test leaves them unlocked.
void tavuInitQueueLocksOnce() {
  static bool done = false;
  if (done) return;
  tavuInitQueueLocks();
  done = true;
}

void tavuEmptyQueues() {
  __real_pthread_mutex_lock(&g_netlinkDataQueue_mutex);
  while (!g_netlinkDataQueue.empty()) {
    tavuFreeDatagram(g_netlinkDataQueue.front());
    g_netlinkDataQueue.pop_front();
  }
  __real_pthread_mutex_unlock(&g_netlinkDataQueue_mutex);
  __real_pthread_mutex_lock(&g_hpEvQueue_mutex);
  while (!g_hpEvQueue.empty()) {
    delete g_hpEvQueue.front();
    g_hpEvQueue.pop_front();
  }
  __real_pthread_mutex_unlock(&g_hpEvQueue_mutex);
}

}  // namespace

void tavuIntakeTest::SetUp() {
  tavuRequireSandbox();
  if (HasFatalFailure()) return;
  tavuInitQueueLocksOnce();
  tavuEmptyQueues();
  tavuResetFaultsAndCounts();
  g_progName = TAVU_TEST_PROGRAM;
  g_tracInitCalled.store(0);
  g_netlinkTrace.store(TRACE_KELU_NO_BUFFER);
  g_netlinkSocketFd.store(-1);
  g_clientSockfd.store(TAVU_TEST_CLIENT_FD);
  g_totalNetlinkEvents.store(0);
  g_totalTavuEvents.store(0);
  g_sentToClient.store(0);
  ASSERT_TRUE(iv_sender.ok()) << "cannot open a uevent sender socket: " << std::strerror(errno);
}

void tavuIntakeTest::TearDown() {
  stopReader();
  stopWorker();
  tavuClearFaults();
  EXPECT_TRUE(tavuQueueLocksFree());
  tavuEmptyQueues();
}

void tavuIntakeTest::startWorker() {
  ASSERT_EQ(pthread_create(&iv_worker, nullptr, tavuMonitorNetlinkEventQueue, nullptr), 0);
  iv_workerRunning = true;
}

void tavuIntakeTest::startReader() {
  const int before = tavuRecvSeen().entered;
  ASSERT_EQ(pthread_create(&iv_reader, nullptr, tavuMonitorNetlinkSocket, nullptr), 0);
  iv_readerRunning = true;
  ASSERT_TRUE(tavuWaitUntil([&] { return tavuRecvSeen().entered > before; }))
      << "the reader never reached its first receive";
}

bool tavuIntakeTest::workerEnds(int timeoutMs) {
  if (!iv_workerRunning) return true;
  if (!tavuJoinWithin(iv_worker, timeoutMs)) return false;
  iv_workerRunning = false;
  return true;
}

bool tavuIntakeTest::readerEnds(int timeoutMs) {
  if (!iv_readerRunning) return true;
  if (!tavuJoinWithin(iv_reader, timeoutMs)) return false;
  iv_readerRunning = false;
  const int fd = tavuLastSocketMade();
  // The daemon never closes its socket; a test must, to bind the next one.
  if (fd > 0) close(fd);
  return true;
}

void tavuIntakeTest::stopReader() {
  if (!iv_readerRunning) return;
  // As when the worker stops: the reader ends after the next datagram.
  g_netlinkSocketFd.store(-1);
  for (int attempt = 0; attempt < 200; ++attempt) {
    iv_sender.send(TAVU_SCRIPT_REJECT);
    if (readerEnds(50)) return;
  }
  ADD_FAILURE() << "the reader did not end";
}

void tavuIntakeTest::stopWorker() {
  if (!iv_workerRunning) return;
  // Its only way out: a failed wait (case 2), reported and ended as such.
  tavuStdoutCapture quiet;
  tavuArmFault(TAVU_FAULT_COND_WAIT, &g_netlinkDataQueue_cond, EINVAL);
  for (int attempt = 0; attempt < 200; ++attempt) {
    pthread_cond_signal(&g_netlinkDataQueue_cond);
    if (workerEnds(50)) break;
  }
  tavuClearFaults();
  if (iv_workerRunning) ADD_FAILURE() << "the worker did not end";
}
