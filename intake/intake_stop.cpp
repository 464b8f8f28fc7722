#include <errno.h>
#include <pthread.h>

#include "intake.h"
#include "queues.h"

void tavuStopIntake(tavuStopScope scope) {
  // The main thread holds this lock from its check of the descriptors until
  // its wait releases it; taking it here means the signal finds it waiting.
  const int rc = pthread_mutex_lock(&g_hpEvQueue_mutex);
  g_intakeStopped.store(true, std::memory_order_release);
  if (scope == TAVU_STOP_BOTH) {
    g_clientSockfd.store(-1, std::memory_order_release);
    g_netlinkSocketFd.store(-1, std::memory_order_release);
  }
  (void)pthread_cond_signal(&g_hpEvQueue_cond);
  // EDEADLK: this thread already holds the lock (its own unlock failed); a
  // thread that ends holding it would leave the main thread blocked for good.
  // Any other failure: the stop is stored and signalled without the lock.
  if (rc == 0 || rc == EDEADLK) (void)pthread_mutex_unlock(&g_hpEvQueue_mutex);
}
