// The end steps shared by the reader and the worker: which descriptors take
// the stop value, and that the stop always wakes the main thread.
#include <errno.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "intake/intake_stop.h"
#include "tests/intake/intake_faults.h"
#include "tests/intake/intake_harness.h"

namespace {

using IntakeStop = tavuIntakeTest;

TEST_F(IntakeStop, ScopeDecidesWhichDescriptorsTakeTheStopValue) {
  const struct {
    tavuStopScope scope;
    int32_t netlinkAfter;
    int32_t clientAfter;
  } cases[] = {
      {TAVU_STOP_SIGNAL_ONLY, 42, TAVU_TEST_CLIENT_FD},
      {TAVU_STOP_BOTH, -1, -1},
  };
  int signals = 0;
  for (const auto& c : cases) {
    g_netlinkSocketFd.store(42);
    g_clientSockfd.store(TAVU_TEST_CLIENT_FD);
    tavuStopIntake(c.scope);
    EXPECT_EQ(g_netlinkSocketFd.load(), c.netlinkAfter);
    EXPECT_EQ(g_clientSockfd.load(), c.clientAfter);
    EXPECT_EQ(tavuSignalCount(&g_hpEvQueue_cond), ++signals);
    EXPECT_TRUE(tavuQueueLocksFree());
  }
}

// The delivery loop's shape: check the descriptors under the lock, then
// wait. The pause between the two is where an unlocked stop would be lost.
void tavuMainThreadLike(std::atomic<bool>* checked) {
  __real_pthread_mutex_lock(&g_hpEvQueue_mutex);
  while (tavuDescriptorInUse(g_clientSockfd) && tavuDescriptorInUse(g_netlinkSocketFd)) {
    checked->store(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    pthread_cond_wait(&g_hpEvQueue_cond, &g_hpEvQueue_mutex);
  }
  __real_pthread_mutex_unlock(&g_hpEvQueue_mutex);
}

TEST_F(IntakeStop, StopBetweenTheMainThreadsCheckAndItsWaitStillWakesIt) {
  for (int round = 0; round < 20; ++round) {
    g_netlinkSocketFd.store(42);
    g_clientSockfd.store(TAVU_TEST_CLIENT_FD);
    std::atomic<bool> checked{false};
    pthread_t main;
    ASSERT_EQ(pthread_create(
                  &main, nullptr,
                  [](void* flag) -> void* {
                    tavuMainThreadLike(static_cast<std::atomic<bool>*>(flag));
                    return nullptr;
                  },
                  &checked),
              0);
    ASSERT_TRUE(tavuWaitUntil([&] { return checked.load(); }));
    std::thread stopper([] { tavuStopIntake(TAVU_STOP_BOTH); });
    stopper.join();
    const bool woken = tavuJoinWithin(main, 5000);
    if (!woken) {
      // Rescue the waiter so that the test can end, then fail.
      __real_pthread_mutex_lock(&g_hpEvQueue_mutex);
      pthread_cond_broadcast(&g_hpEvQueue_cond);
      __real_pthread_mutex_unlock(&g_hpEvQueue_mutex);
      pthread_join(main, nullptr);
    }
    ASSERT_TRUE(woken) << "round " << round << ": the stop was lost";
  }
}

TEST_F(IntakeStop, ThreadThatAlreadyHoldsTheMainThreadsLockReleasesIt) {
  g_netlinkSocketFd.store(42);
  // What an error-checking mutex answers the thread that already owns it.
  tavuArmFault(TAVU_FAULT_MUTEX_LOCK, &g_hpEvQueue_mutex, EDEADLK);
  std::thread owner([] {
    __real_pthread_mutex_lock(&g_hpEvQueue_mutex);
    tavuStopIntake(TAVU_STOP_BOTH);
  });
  owner.join();
  EXPECT_EQ(g_netlinkSocketFd.load(), -1);
  EXPECT_EQ(g_clientSockfd.load(), -1);
  EXPECT_EQ(tavuSignalCount(&g_hpEvQueue_cond), 1);
  EXPECT_TRUE(tavuQueueLocksFree());
}

TEST_F(IntakeStop, LockThatCannotBeHadStillStoresAndSignals) {
  g_netlinkSocketFd.store(42);
  tavuArmFault(TAVU_FAULT_MUTEX_LOCK, &g_hpEvQueue_mutex, EINVAL);
  std::thread stopper([] { tavuStopIntake(TAVU_STOP_BOTH); });
  stopper.join();
  EXPECT_EQ(g_netlinkSocketFd.load(), -1);
  EXPECT_EQ(g_clientSockfd.load(), -1);
  EXPECT_EQ(tavuSignalCount(&g_hpEvQueue_cond), 1);
  EXPECT_TRUE(tavuQueueLocksFree()) << "nothing taken, nothing left held";
}

}  // namespace
