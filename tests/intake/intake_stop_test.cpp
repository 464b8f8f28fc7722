// The end steps shared by the reader and the worker: the stop always wakes
// the main thread (which descriptors take it: reader_test, worker_test).
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

// A refused lock still stores and signals: EDEADLK is what an error-checking
// mutex answers a thread that already holds it, which must then release it.
TEST_F(IntakeStop, LockThatCannotBeHadStillStoresAndSignals) {
  for (const bool alreadyHeld : {true, false}) {
    SCOPED_TRACE(alreadyHeld ? "already held" : "refused");
    tavuResetFaultsAndCounts();
    g_netlinkSocketFd.store(42);
    g_clientSockfd.store(TAVU_TEST_CLIENT_FD);
    tavuArmFault(TAVU_FAULT_MUTEX_LOCK, &g_hpEvQueue_mutex, alreadyHeld ? EDEADLK : EINVAL);
    std::thread stopper([alreadyHeld] {
      if (alreadyHeld) __real_pthread_mutex_lock(&g_hpEvQueue_mutex);
      tavuStopIntake(TAVU_STOP_BOTH);
    });
    stopper.join();
    EXPECT_EQ(g_netlinkSocketFd.load(), -1);
    EXPECT_EQ(g_clientSockfd.load(), -1);
    EXPECT_EQ(tavuSignalCount(&g_hpEvQueue_cond), 1);
    EXPECT_TRUE(tavuQueueLocksFree()) << "nothing left held";
  }
}

}  // namespace
