#include <pthread.h>

#include <cstdlib>

#include "client/event_delivery.h"
#include "daemon/backlog_release.h"
#include "daemon/globals.h"
#include "daemon/report.h"
#include "daemon/startup.h"
#include "devnodes/netlink_event.h"

namespace {

// Called with g_hpEvQueue_mutex held. The flag keeps a stop that a later
// store of a descriptor would otherwise hide.
bool tavuStopRequested() {
  return g_intakeStopped.load(std::memory_order_acquire) || !tavuDescriptorInUse(g_clientSockfd) ||
         !tavuDescriptorInUse(g_netlinkSocketFd);
}

// Delivers one record taken from the queue, without the lock.
void tavuDeliver(tavuNetlinkEvent* event) {
  if (event == nullptr) {
    TAVU_REPORT(
        "%s:%s: NULL pointer returned by g_hpEvQueue.front(), totalNetlinkEvents: %d, "
        "totalTavuEvents: %d, sentToClient %d\n",
        g_progName, "main", g_totalNetlinkEvents.load(), g_totalTavuEvents.load(),
        g_sentToClient.load());
    return;
  }
  tavunetlink_SendToClient(event);
  delete event;
  tavuReleaseDrainedBacklog(g_hpEvQueue.size());
}

}  // namespace

void tavuRunDeliveryLoop() {
  int rc = pthread_mutex_lock(&g_hpEvQueue_mutex);
  if (rc != 0) {
    TAVU_REPORT("%s:%s: Exiting, failed pthread_mutex_lock(hpEvQueue) rc=%d\n", g_progName, "main",
                rc);
    std::exit(1);
  }
  for (;;) {
    // Records still queued are abandoned: the stop wins.
    if (tavuStopRequested()) std::exit(-1);
    if (g_hpEvQueue.empty()) {
      rc = pthread_cond_wait(&g_hpEvQueue_cond, &g_hpEvQueue_mutex);
      if (rc != 0) {
        TAVU_REPORT("%s:%s: Exiting, failed pthread_cond_wait(hpEvQueue) rc=%d\n", g_progName,
                    "main", rc);
        std::exit(-1);
      }
      continue;
    }
    tavuNetlinkEvent* event = g_hpEvQueue.front();
    g_hpEvQueue.pop_front();
    rc = pthread_mutex_unlock(&g_hpEvQueue_mutex);
    if (rc != 0) {
      TAVU_REPORT("%s:%s: pthread_mutex_unlock(hpEvQueue) failed, rc=%d\n", g_progName, "main", rc);
      std::exit(-1);
    }
    tavuDeliver(event);
    rc = pthread_mutex_lock(&g_hpEvQueue_mutex);
    if (rc != 0) {
      TAVU_REPORT("%s:%s: Exiting, pthread_mutex_lock(hpEvQueue) failed rc=%d\n", g_progName,
                  "main", rc);
      std::exit(-1);
    }
  }
}
