// The queue mutexes made by start-up are error-checking: a broken locking
// rule returns an error code instead of blocking or passing unnoticed.
#include <errno.h>
#include <pthread.h>

#include <thread>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "daemon/startup.h"

namespace {

TEST(QueueLocks, AreErrorCheckingMutexes) {
  tavuInitQueueLocks();
  for (pthread_mutex_t* mutex : {&g_netlinkDataQueue_mutex, &g_hpEvQueue_mutex}) {
    ASSERT_EQ(pthread_mutex_lock(mutex), 0);
    EXPECT_EQ(pthread_mutex_lock(mutex), EDEADLK) << "relock by the holder";
    int foreignUnlock = 0;
    std::thread other([&] { foreignUnlock = pthread_mutex_unlock(mutex); });
    other.join();
    EXPECT_EQ(foreignUnlock, EPERM) << "unlock by a thread that does not hold it";
    EXPECT_EQ(pthread_mutex_unlock(mutex), 0);
    EXPECT_EQ(pthread_mutex_unlock(mutex), EPERM) << "unlock of an unlocked mutex";
  }
}

}  // namespace
