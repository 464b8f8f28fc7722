// The delivery loop: the main thread takes each event off g_hpEvQueue, in
// order, delivers it to the client, and ends the process when the intake
// has stopped.
#include <malloc.h>
#include <pthread.h>

#include <cstdlib>

#include "client_channel.h"
#include "daemon.h"
#include "netlink_event.h"
#include "queues.h"
#include "report.h"

TAVU_REPORTS_AS("main")

namespace {

// Below this a backlog's memory is not worth a trim: the allocator's own
// thresholds already return it, and a trim per event would cost more.
constexpr int32_t TAVU_BACKLOG_WORTH_RELEASING = 1024;

// The largest backlog seen since the queue last ran empty; main thread only.
int32_t g_backlogPeak = 0;

// Called after each delivery with the number of records still queued. The
// freed records sit in the free lists of the worker's arena, where nothing
// returns them by itself: a board that once queued a long burst for a late
// client would keep that memory for good.
void tavuReleaseDrainedBacklog(int32_t queued) {
  if (queued > g_backlogPeak) g_backlogPeak = queued;
  if (queued != 0 || g_backlogPeak < TAVU_BACKLOG_WORTH_RELEASING) return;
  TAVU_TRACE("%s:%s: backlog of %d events delivered, its memory given back\n", g_backlogPeak);
  g_backlogPeak = 0;
  malloc_trim(0);
}

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
        g_totalNetlinkEvents.load(), g_totalTavuEvents.load(), g_sentToClient.load());
    return;
  }
  tavunetlink_SendToClient(event);
  delete event;
  tavuReleaseDrainedBacklog(g_hpEvQueue.size());
}

}  // namespace

void tavuRunDeliveryLoop() {
  int rc = pthread_mutex_lock(&g_hpEvQueue_mutex);
  if (rc != 0) TAVU_EXIT(1, "%s:%s: Exiting, failed pthread_mutex_lock(hpEvQueue) rc=%d\n", rc);
  for (;;) {
    // Records still queued are abandoned: the stop wins.
    if (tavuStopRequested()) std::exit(-1);
    if (g_hpEvQueue.empty()) {
      rc = pthread_cond_wait(&g_hpEvQueue_cond, &g_hpEvQueue_mutex);
      if (rc != 0) TAVU_EXIT(-1, "%s:%s: Exiting, failed pthread_cond_wait(hpEvQueue) rc=%d\n", rc);
      continue;
    }
    tavuNetlinkEvent* event = g_hpEvQueue.front();
    g_hpEvQueue.pop_front();
    rc = pthread_mutex_unlock(&g_hpEvQueue_mutex);
    if (rc != 0) TAVU_EXIT(-1, "%s:%s: pthread_mutex_unlock(hpEvQueue) failed, rc=%d\n", rc);
    tavuDeliver(event);
    rc = pthread_mutex_lock(&g_hpEvQueue_mutex);
    if (rc != 0) TAVU_EXIT(-1, "%s:%s: Exiting, pthread_mutex_lock(hpEvQueue) failed rc=%d\n", rc);
  }
}
