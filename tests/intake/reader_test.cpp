// The uevent socket reader: a receive result becomes an exact queued
// record; start-up failures, receive errors and interrupted receives end or
// continue the thread, each with its report.
#include <errno.h>
#include <linux/capability.h>
#include <linux/netlink.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "intake/intake_threads.h"
#include "intake/netlink_socket_reader.h"
#include "tests/intake/intake_faults.h"
#include "tests/intake/intake_harness.h"
#include "tests/support/test_support.h"
#include "tests/support/uevent_sender.h"

namespace {

const std::string kReader = std::string(TAVU_TEST_PROGRAM) + ":tavuMonitorNetlinkSocket: ";

std::string receiveErrorReport(int error, int dataQueue, int hpEvQueue, int sent) {
  return kReader + "recv error, errno=" + std::to_string(error) +
         ", netlinkDataQueue size: " + std::to_string(dataQueue) +
         ", hpEvQueue size: " + std::to_string(hpEvQueue) +
         ", sent to client: " + std::to_string(sent) + "\n";
}

// ---- One receive result into one record --------------------------------

using ReaderStep = tavuIntakeTest;

TEST_F(ReaderStep, EveryResultFromEmptyToFullBecomesAnExactCopyInArrivalOrder) {
  char buffer[TAVU_UEVENT_MAX];
  for (size_t i = 0; i < sizeof buffer; ++i) buffer[i] = static_cast<char>(i * 7 + 1);
  const ssize_t sizes[] = {0, 1, 2, 100, 0, 4095, 4096};

  tavuStdoutCapture out;
  for (ssize_t n : sizes) ASSERT_TRUE(tavuQueueDatagram(buffer, n));
  // The thread's buffer is reused: the records must not share it.
  for (char& c : buffer) c = 'X';
  EXPECT_EQ(out.finish(), "");

  const std::vector<std::string> records = tavuQueuedDatagrams();
  ASSERT_EQ(records.size(), std::size(sizes));
  for (size_t i = 0; i < std::size(sizes); ++i) {
    std::string expected;
    for (ssize_t k = 0; k < sizes[i]; ++k) expected.push_back(static_cast<char>(k * 7 + 1));
    EXPECT_EQ(records[i], expected) << "record " << i << " of " << sizes[i] << " bytes";
  }
  EXPECT_EQ(g_totalNetlinkEvents.load(), static_cast<int>(std::size(sizes)));
  EXPECT_EQ(tavuSignalCount(&g_netlinkDataQueue_cond), static_cast<int>(std::size(sizes)));
  EXPECT_EQ(tavuSignalCount(&g_hpEvQueue_cond), 0);
  EXPECT_EQ(g_clientSockfd.load(), TAVU_TEST_CLIENT_FD);
}

struct QueueFailure {
  const char* name;
  tavuFaultCall call;
  int code;
  const char* report;  // after "<program>:tavuMonitorNetlinkSocket: "
  size_t queuedAfter;  // the record stays queued after a failed unlock only
};

const QueueFailure kQueueFailures[] = {
    {"lock", TAVU_FAULT_MUTEX_LOCK, EINVAL,
     "Exiting, pthread_mutex_lock(netlinkDataQueue) failed\n", 0},
    {"unlock", TAVU_FAULT_MUTEX_UNLOCK, EPERM,
     "Exiting, pthread_mutex_unlock(netlinkDataQueue) failed rc=1\n", 1},
};

class ReaderQueueFailure : public tavuIntakeTest,
                           public ::testing::WithParamInterface<QueueFailure> {};

TEST_P(ReaderQueueFailure, EndsTheThreadWithItsReportAndStopsTheDaemon) {
  const QueueFailure& c = GetParam();
  g_netlinkSocketFd.store(42);
  tavuArmFault(c.call, &g_netlinkDataQueue_mutex, c.code);
  const char bytes[] = "add@/class/uart/ttyS1";
  bool goOn = true;
  tavuStdoutCapture out;
  // Faults strike threads other than the test's: the reader's role.
  std::thread reader([&] { goOn = tavuQueueDatagram(bytes, sizeof bytes); });
  reader.join();
  EXPECT_EQ(out.finish(), kReader + c.report);
  EXPECT_FALSE(goOn);
  EXPECT_EQ(g_totalNetlinkEvents.load(), 1) << "counted before the lock, even when lost";
  EXPECT_EQ(tavuQueuedDatagrams().size(), c.queuedAfter);
  EXPECT_EQ(g_netlinkSocketFd.load(), -1);
  EXPECT_EQ(g_clientSockfd.load(), -1);
  EXPECT_EQ(tavuSignalCount(&g_hpEvQueue_cond), 1);
  EXPECT_EQ(tavuSignalCount(&g_netlinkDataQueue_cond), 0);
  EXPECT_TRUE(tavuQueueLocksFree());
}

INSTANTIATE_TEST_SUITE_P(Cases, ReaderQueueFailure, ::testing::ValuesIn(kQueueFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Opening the socket --------------------------------------------------

class ReaderOpening : public tavuIntakeTest {
 protected:
  // Runs the reader until it ends by itself; returns what it printed.
  std::string runReaderToItsEnd() {
    tavuStdoutCapture out;
    pthread_t thread;
    EXPECT_EQ(pthread_create(&thread, nullptr, tavuMonitorNetlinkSocket, nullptr), 0);
    const bool ended = tavuJoinWithin(thread, 20000);
    std::string text = out.finish();
    EXPECT_TRUE(ended) << "the reader did not end";
    if (!ended) std::abort();  // it would use the fixture's state after it is gone
    if (tavuLastSocketMade() > 0) close(tavuLastSocketMade());
    return text;
  }
};

TEST_F(ReaderOpening, FailedSocketSignalsOnlyAndLeavesTheClientDescriptor) {
  tavuArmFault(TAVU_FAULT_SOCKET, nullptr, EMFILE);
  EXPECT_EQ(runReaderToItsEnd(), kReader + "Exiting, socket create failed\n");
  EXPECT_EQ(g_netlinkSocketFd.load(), -1);
  EXPECT_EQ(g_clientSockfd.load(), TAVU_TEST_CLIENT_FD);
  EXPECT_EQ(tavuSignalCount(&g_hpEvQueue_cond), 1);
}

TEST_F(ReaderOpening, RefusedBufferSizeWithoutTheNetworkAdminCapabilityEndsTheThread) {
  // Capabilities belong to each thread: the reader inherits the reduced set.
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved[2]{};
  ASSERT_EQ(syscall(SYS_capget, &header, saved), 0);
  __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
  reduced[CAP_NET_ADMIN / 32].effective &= ~(1u << (CAP_NET_ADMIN % 32));
  ASSERT_EQ(syscall(SYS_capset, &header, reduced), 0);
  tavuStdoutCapture out;
  pthread_t thread;
  const int created = pthread_create(&thread, nullptr, tavuMonitorNetlinkSocket, nullptr);
  ASSERT_EQ(syscall(SYS_capset, &header, saved), 0);
  ASSERT_EQ(created, 0);
  ASSERT_TRUE(tavuJoinWithin(thread, 20000));
  if (tavuLastSocketMade() > 0) close(tavuLastSocketMade());
  EXPECT_EQ(out.finish(), kReader + "setsockopt(SO_RCVBUFFORCE) error, errno=1\n");
  EXPECT_EQ(g_netlinkSocketFd.load(), -1);
  EXPECT_EQ(g_clientSockfd.load(), -1);
  EXPECT_EQ(tavuSignalCount(&g_hpEvQueue_cond), 1);
}

TEST_F(ReaderOpening, PortOfTheProcessAlreadyBoundMakesTheBindFail) {
  const int holder = __real_socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  ASSERT_GE(holder, 0);
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_pid = static_cast<uint32_t>(getpid());
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string said = runReaderToItsEnd();
  close(holder);
  EXPECT_EQ(said, kReader + "Exiting, bind of netlink socket failed\n");
  EXPECT_EQ(g_netlinkSocketFd.load(), -1);
  EXPECT_EQ(g_clientSockfd.load(), -1);
  EXPECT_EQ(tavuSignalCount(&g_hpEvQueue_cond), 1);
}

TEST_F(ReaderOpening, BoundSocketHasTheForcedBufferAndAllGroups) {
  startReader();
  const int fd = g_netlinkSocketFd.load();
  ASSERT_GT(fd, 0);
  int size = 0;
  socklen_t length = sizeof size;
  ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length), 0);
  EXPECT_EQ(size, 2 * TAVU_UEVENT_RCVBUF_SIZE) << "the kernel doubles what it is asked";
  sockaddr_nl bound{};
  length = sizeof bound;
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length), 0);
  EXPECT_EQ(length, 12u);
  EXPECT_EQ(bound.nl_pid, static_cast<uint32_t>(getpid()));
  // The group list is read back through the memberships option.
  uint32_t groups = 0;
  length = sizeof groups;
  ASSERT_EQ(getsockopt(fd, SOL_NETLINK, NETLINK_LIST_MEMBERSHIPS, &groups, &length), 0);
  EXPECT_EQ(groups, 0xFFFFFFFFu);
}

TEST_F(ReaderOpening, ReaderRunsAtItsRealTimePriority) {
  startReader();
  int policy = -1;
  sched_param param{};
  ASSERT_EQ(pthread_getschedparam(readerThread(), &policy, &param), 0);
  EXPECT_EQ(policy, SCHED_FIFO);
  EXPECT_EQ(param.sched_priority, TAVU_READER_PRIORITY);
}

// ---- Receiving -----------------------------------------------------------

using ReaderReceiving = tavuIntakeTest;

TEST_F(ReaderReceiving, LongDatagramIsCutTo4096Bytes) {
  startReader();
  std::string big(5000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('A' + i % 26);
  ASSERT_TRUE(iv_sender.send(big));
  ASSERT_TRUE(tavuWaitUntil([] { return g_totalNetlinkEvents.load() == 1; }));
  const std::vector<std::string> records = tavuQueuedDatagrams();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0], big.substr(0, TAVU_UEVENT_MAX));
}

TEST_F(ReaderReceiving, PersistentErrorIsReportedOnEveryAttemptAndWakesTheWorker) {
  tavuStdoutCapture out;
  tavuArmFault(TAVU_FAULT_RECV, nullptr, EIO, 0, 3);
  startReader();
  ASSERT_TRUE(tavuWaitUntil([] { return tavuRecvSeen().entered >= 4; }));
  ASSERT_TRUE(iv_sender.send("after the errors"));
  ASSERT_TRUE(tavuWaitUntil([] { return g_totalNetlinkEvents.load() == 1; }));
  const std::string line = receiveErrorReport(EIO, 0, 0, 0);
  EXPECT_EQ(out.finish(), line + line + line);
  EXPECT_EQ(tavuSignalCount(&g_netlinkDataQueue_cond), 3 + 1);
  EXPECT_EQ(tavuQueuedDatagrams(), std::vector<std::string>{"after the errors"});
}

void tavuIgnoreSignal(int) {}

struct SocketState {
  long queuedBytes = -1;  // waiting in the receive buffer
  long drops = -1;        // datagrams the kernel dropped for lack of room
};

// The reader's socket as /proc/net/netlink shows it: the uevent family's
// socket bound to the process id.
SocketState tavuReaderSocketState() {
  std::istringstream table(tavuReadFile("/proc/net/netlink"));
  std::string line;
  std::getline(table, line);  // the column names
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string sk;
    std::string groups;
    int family = 0;
    long port = 0;
    long wmem = 0;
    long dump = 0;
    long locks = 0;
    SocketState state;
    if ((fields >> sk >> family >> port >> groups >> state.queuedBytes >> wmem >> dump >> locks >>
         state.drops) &&
        family == NETLINK_KOBJECT_UEVENT && port == getpid()) {
      return state;
    }
  }
  return {};
}

TEST_F(ReaderReceiving, InterruptedReceiveIsRepeatedWithoutReportOrLoopTest) {
  struct sigaction quiet {};
  quiet.sa_handler = tavuIgnoreSignal;
  sigemptyset(&quiet.sa_mask);
  quiet.sa_flags = 0;  // no SA_RESTART: recv returns EINTR
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGUSR1, &quiet, &old), 0);
  startReader();
  // Interrupts the waiting receive until one is seen interrupted.
  auto interrupt = [this](int times) {
    for (int attempt = 0; attempt < 400 && tavuRecvSeen().interrupted < times; ++attempt) {
      pthread_kill(readerThread(), SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return tavuRecvSeen().interrupted >= times;
  };

  tavuStdoutCapture out;
  ASSERT_TRUE(interrupt(1));
  ASSERT_TRUE(iv_sender.send("after the signal"));
  ASSERT_TRUE(tavuWaitUntil([] { return g_totalNetlinkEvents.load() == 1; }));
  EXPECT_EQ(out.finish(), "") << "an interrupted receive is not reported";
  EXPECT_EQ(tavuQueuedDatagrams(), std::vector<std::string>{"after the signal"});

  // The stop value stored meanwhile is not tested after an interruption:
  // the receive is repeated at once on the descriptor now held, -1.
  tavuStdoutCapture stopped;
  g_netlinkSocketFd.store(-1);
  const int interruptedBefore = tavuRecvSeen().interrupted;
  ASSERT_TRUE(interrupt(interruptedBefore + 1));
  ASSERT_TRUE(readerEnds());
  EXPECT_EQ(tavuRecvSeen().lastFd, -1);
  EXPECT_EQ(stopped.finish(), receiveErrorReport(EBADF, 1, 0, 0));
  sigaction(SIGUSR1, &old, nullptr);
}

TEST_F(ReaderReceiving, StopStoredWhileWaitingEndsTheThreadAfterTheNextDatagram) {
  startReader();
  tavuStdoutCapture out;
  g_netlinkSocketFd.store(-1);  // as the worker's end steps would
  EXPECT_FALSE(readerEnds(300)) << "the reader keeps waiting in its receive";
  ASSERT_TRUE(iv_sender.send("last"));
  ASSERT_TRUE(readerEnds());
  EXPECT_EQ(out.finish(), "");
  EXPECT_EQ(tavuQueuedDatagrams(), std::vector<std::string>{"last"});
  EXPECT_EQ(g_totalNetlinkEvents.load(), 1);
  EXPECT_EQ(g_clientSockfd.load(), -1);
  EXPECT_EQ(tavuSignalCount(&g_hpEvQueue_cond), 1);
}

TEST_F(ReaderReceiving, OverflowedBufferIsReportedWithBothQueueSizesAndReceivingGoesOn) {
  startReader();
  // Three records waiting for the client and five sent, so that the report
  // shows which number is which.
  __real_pthread_mutex_lock(&g_hpEvQueue_mutex);
  for (int i = 0; i < 3; ++i) g_hpEvQueue.push_back(nullptr);
  __real_pthread_mutex_unlock(&g_hpEvQueue_mutex);
  g_sentToClient.store(5);

  // The reader stalls at its first append while the kernel's buffer fills.
  __real_pthread_mutex_lock(&g_netlinkDataQueue_mutex);
  ASSERT_TRUE(iv_sender.send(tavuClassEvent("add", "/class/uart/ttyS0", "uart", 0, 4, 64)));
  ASSERT_TRUE(tavuWaitUntil([] { return g_totalNetlinkEvents.load() == 1; }));
  constexpr int kFlood = 3000;
  int sent = 1;
  for (int i = 1; i <= kFlood; ++i) {
    sent += iv_sender.send(tavuClassEvent("add", "/class/uart/ttyS" + std::to_string(i), "uart", i,
                                          4, 64 + i % 64))
                ? 1
                : 0;
  }
  ASSERT_EQ(sent, kFlood + 1);
  tavuStdoutCapture out;
  __real_pthread_mutex_unlock(&g_netlinkDataQueue_mutex);

  // Drained once the kernel holds nothing more for the reader and the
  // count stands still; then one more must still arrive.
  ASSERT_TRUE(tavuWaitUntil(
      [last = -1]() mutable {
        const int now = g_totalNetlinkEvents.load();
        const bool still = now == last && tavuReaderSocketState().queuedBytes == 0;
        last = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return still;
      },
      60000));
  const int received = g_totalNetlinkEvents.load();
  ASSERT_TRUE(iv_sender.send("after the overflow"));
  ASSERT_TRUE(tavuWaitUntil([&] { return g_totalNetlinkEvents.load() == received + 1; }));
  EXPECT_EQ(out.finish(), receiveErrorReport(ENOBUFS, 1, 3, 5));

  const int dropped = sent - received;
  EXPECT_GT(dropped, 0) << "the flood did not overflow the receive buffer";
  const std::vector<std::string> records = tavuQueuedDatagrams();
  ASSERT_EQ(records.size(), static_cast<size_t>(received + 1));
  // The kernel drops what no longer fits: the oldest are the ones kept.
  for (int i = 0; i < received; ++i) {
    ASSERT_NE(records[i].find("SEQNUM=" + std::to_string(i) + '\0'), std::string::npos)
        << "record " << i;
  }
  EXPECT_EQ(records.back(), "after the overflow");
  EXPECT_EQ(tavuSignalCount(&g_netlinkDataQueue_cond), received + 1 + 1);
  EXPECT_EQ(tavuReaderSocketState().drops, dropped) << "the kernel's own count of drops";
  RecordProperty("sent", sent);
  RecordProperty("dropped", dropped);
  std::printf("overflow: %d sent, %d received, %d dropped by the kernel\n", sent, received,
              dropped);
}

}  // namespace
