// The uevent worker: a drain pass interprets in order, queues the events
// and signals the main thread once if it indicated any; every lock, unlock
// and wait failure ends the thread with its report and stops the daemon.
#include <errno.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "intake/netlink_event_worker.h"
#include "tests/intake/intake_faults.h"
#include "tests/intake/intake_harness.h"

namespace {

const std::string kWorker = std::string(TAVU_TEST_PROGRAM) + ":tavuMonitorNetlinkEventQueue: ";

std::string nullElementReport(int netlink, int tavu, int sent) {
  return kWorker + "NULL pointer returned by g_netlinkDataQueue.front(), totalNetlinkEvents: " +
         std::to_string(netlink) + ", totalTavuEvents: " + std::to_string(tavu) +
         ", sentToClient " + std::to_string(sent) + "\n";
}

std::string nullEventReport(int netlink, int tavu, int sent) {
  return kWorker +
         "NULL tavuNetlinkEvent pointer returned by tavuHandleNetlinkEvent() when it indicated a "
         "tavu event, totalNetlinkEvents: " +
         std::to_string(netlink) + ", totalTavuEvents: " + std::to_string(tavu) +
         ", sentToClient " + std::to_string(sent) + "\n";
}

const std::string kAccept1 = tavuScriptAccept(1);
const std::string kAccept2 = tavuScriptAccept(2);
const std::string kAccept3 = tavuScriptAccept(3);

// ---- One drain pass ------------------------------------------------------

struct DrainCase {
  const char* name;
  std::vector<const char*> queued;  // null: a null element
  std::vector<int> events;          // iv_seq of what reaches g_hpEvQueue, in order
  int tavuEvents;                   // g_totalTavuEvents after the pass
  int signals;                      // of g_hpEvQueue_cond
  std::string reports;
};

// Before each pass: 10 datagrams received, 3 events sent to the client.
// clang-format off
const DrainCase kDrainCases[] = {
    {"Empty", {}, {}, 0, 0, ""},
    {"OnlyRejected", {TAVU_SCRIPT_REJECT, TAVU_SCRIPT_REJECT}, {}, 0, 0, ""},
    {"EventsAmongRejected", {kAccept1.c_str(), TAVU_SCRIPT_REJECT, kAccept2.c_str(),
     kAccept3.c_str()}, {1, 2, 3}, 3, 1, ""},
    {"NullElementAlone", {nullptr}, {}, 0, 0, nullElementReport(10, 0, 3)},
    {"NullElementAmongEvents", {kAccept1.c_str(), nullptr, kAccept2.c_str()}, {1, 2}, 2, 1,
     nullElementReport(10, 1, 3)},
    {"NullEventPointer", {TAVU_SCRIPT_NULL_EVENT}, {}, 1, 1, nullEventReport(10, 1, 3)},
    {"NullEventPointerThenEvent", {TAVU_SCRIPT_NULL_EVENT, kAccept3.c_str()}, {3}, 2, 1,
     nullEventReport(10, 1, 3)},
};
// clang-format on

class DrainPass : public tavuIntakeTest, public ::testing::WithParamInterface<DrainCase> {};

TEST_P(DrainPass, InterpretsInOrderQueuesEventsAndSignalsOnceIfAny) {
  const DrainCase& c = GetParam();
  g_totalNetlinkEvents.store(10);
  g_sentToClient.store(3);
  tavuQueueForWorker(c.queued);
  __real_pthread_mutex_lock(&g_netlinkDataQueue_mutex);
  tavuStdoutCapture out;
  const bool goOn = tavuDrainNetlinkDataQueue();
  const std::string said = out.finish();
  EXPECT_EQ(__real_pthread_mutex_unlock(&g_netlinkDataQueue_mutex), 0)
      << "a pass must end holding the queue's lock";

  EXPECT_TRUE(goOn);
  EXPECT_EQ(said, c.reports);
  EXPECT_EQ(tavuQueuedEventSeqs(), c.events);
  EXPECT_EQ(g_totalTavuEvents.load(), c.tavuEvents);
  EXPECT_EQ(tavuSignalCount(&g_hpEvQueue_cond), c.signals);
  EXPECT_TRUE(tavuQueuedDatagrams().empty());
  // The interpreter sees each non-null record's bytes, no NUL added.
  std::vector<std::string> expected;
  for (const char* text : c.queued) {
    if (text != nullptr) expected.emplace_back(text);
  }
  EXPECT_EQ(tavuInterpreterCalls(), expected);
  EXPECT_EQ(g_netlinkSocketFd.load(), -1) << "unchanged";
  EXPECT_EQ(g_clientSockfd.load(), TAVU_TEST_CLIENT_FD) << "unchanged";
}

INSTANTIATE_TEST_SUITE_P(Cases, DrainPass, ::testing::ValuesIn(kDrainCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Failures that end the thread -----------------------------------------

struct WorkerFailure {
  const char* name;
  tavuFaultCall call;
  const void* object;  // the lock or condition that fails
  int code;
  int skip;         // matching calls that succeed first
  int interpreted;  // datagrams handed to the interpreter
  int tavuEvents;
  const char* report;  // after "<program>:tavuMonitorNetlinkEventQueue: "
  std::vector<const char*> queued;
  std::vector<int> eventsAfter;
};

// clang-format off
const WorkerFailure kWorkerFailures[] = {
    {"FirstLock", TAVU_FAULT_MUTEX_LOCK, &g_netlinkDataQueue_mutex, EINVAL, 0, 0, 0,
     "Exiting, failed pthread_mutex_lock(netlinkDataQueue) rc=22\n", {kAccept1.c_str()}, {}},
    {"Wait", TAVU_FAULT_COND_WAIT, &g_netlinkDataQueue_cond, EINVAL, 0, 0, 0,
     "Exiting, failed pthread_cond_wait(netlinkDataQueue) rc=22\n", {}, {}},
    {"UnlockAfterTaking", TAVU_FAULT_MUTEX_UNLOCK, &g_netlinkDataQueue_mutex, EPERM, 0, 0, 0,
     "Exiting, failed pthread_mutex_unlock(netlinkDataQueue) rc=1\n", {kAccept1.c_str()}, {}},
    {"LockEventQueue", TAVU_FAULT_MUTEX_LOCK, &g_hpEvQueue_mutex, EINVAL, 0, 1, 1,
     "Exiting, failed pthread_mutex_lock(hpEvQueue) rc=22\n", {kAccept1.c_str()}, {}},
    {"UnlockEventQueue", TAVU_FAULT_MUTEX_UNLOCK, &g_hpEvQueue_mutex, EPERM, 0, 1, 1,
     "Exiting, failed pthread_mutex_unlock(hpEvQueue) rc=1\n",
     {kAccept1.c_str(), kAccept2.c_str()}, {1}},
    {"LockAgainAfterARecord", TAVU_FAULT_MUTEX_LOCK, &g_netlinkDataQueue_mutex, EINVAL, 1, 1, 0,
     "Exiting, failed pthread_mutex_lock(netlinkDataQueue) rc=22\n",
     {TAVU_SCRIPT_REJECT, kAccept2.c_str()}, {}},
};
// clang-format on

class WorkerFailureCase : public tavuIntakeTest,
                          public ::testing::WithParamInterface<WorkerFailure> {};

TEST_P(WorkerFailureCase, ReportsEndsAndStopsTheDaemonHoldingNoLock) {
  const WorkerFailure& c = GetParam();
  g_netlinkSocketFd.store(42);
  tavuQueueForWorker(c.queued);
  tavuArmFault(c.call, c.object, c.code, c.skip);
  tavuStdoutCapture out;
  startWorker();
  ASSERT_TRUE(workerEnds());
  EXPECT_EQ(out.finish(), kWorker + c.report);
  EXPECT_EQ(g_netlinkSocketFd.load(), -1);
  EXPECT_EQ(g_clientSockfd.load(), -1);
  EXPECT_EQ(tavuSignalCount(&g_hpEvQueue_cond), 1) << "the end steps' signal only";
  EXPECT_EQ(tavuQueuedEventSeqs(), c.eventsAfter);
  EXPECT_EQ(tavuInterpreterCalls().size(), static_cast<size_t>(c.interpreted));
  EXPECT_EQ(g_totalTavuEvents.load(), c.tavuEvents);
  EXPECT_TRUE(tavuQueueLocksFree());
}

INSTANTIATE_TEST_SUITE_P(Cases, WorkerFailureCase, ::testing::ValuesIn(kWorkerFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- The running thread ---------------------------------------------------

using WorkerThread = tavuIntakeTest;

TEST_F(WorkerThread, WakesTheMainThreadOncePerPassAndOnlyForEvents) {
  startWorker();
  const auto wake = [] { pthread_cond_signal(&g_netlinkDataQueue_cond); };
  const auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(150)); };

  // A batch queued at once is one pass: three events, one signal.
  tavuQueueForWorker({kAccept1.c_str(), kAccept2.c_str(), TAVU_SCRIPT_REJECT, kAccept3.c_str()});
  wake();
  ASSERT_TRUE(tavuWaitUntil([] { return tavuSignalCount(&g_hpEvQueue_cond) >= 1; }));
  settle();
  EXPECT_EQ(tavuSignalCount(&g_hpEvQueue_cond), 1);
  EXPECT_EQ(tavuQueuedEventSeqs(), (std::vector<int>{1, 2, 3}));

  // Rejected datagrams alone: interpreted, no signal.
  tavuQueueForWorker({TAVU_SCRIPT_REJECT, TAVU_SCRIPT_REJECT});
  wake();
  ASSERT_TRUE(tavuWaitUntil([] { return tavuInterpreterCalls().size() == 6; }));
  settle();
  EXPECT_EQ(tavuSignalCount(&g_hpEvQueue_cond), 1);

  // A wake-up with an empty queue: no report, no signal, still waiting.
  tavuStdoutCapture out;
  wake();
  settle();
  EXPECT_EQ(out.finish(), "");
  EXPECT_EQ(tavuSignalCount(&g_hpEvQueue_cond), 1);
  EXPECT_FALSE(workerEnds(0));

  // The next batch's event wakes the main thread again.
  tavuQueueForWorker({kAccept2.c_str()});
  wake();
  ASSERT_TRUE(tavuWaitUntil([] { return tavuSignalCount(&g_hpEvQueue_cond) == 2; }));
  EXPECT_EQ(tavuQueuedEventSeqs(), (std::vector<int>{1, 2, 3, 2}));
  EXPECT_EQ(g_totalTavuEvents.load(), 4);
}

}  // namespace
