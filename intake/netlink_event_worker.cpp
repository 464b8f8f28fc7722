// The uevent worker: hands each queued datagram to the interpreter, in
// arrival order, and queues the events it makes for the main thread.
#include <pthread.h>

#include "intake.h"
#include "queues.h"
#include "report.h"
#include "uevent_interpreter.h"

TAVU_REPORTS_AS("tavuMonitorNetlinkEventQueue")

namespace {

// Appends the event under g_hpEvQueue_mutex.
tavuStopScope tavuQueueEvent(tavuNetlinkEvent* event) {
  int rc = pthread_mutex_lock(&g_hpEvQueue_mutex);
  if (rc != 0) {
    delete event;  // never queued, so still ours
    return TAVU_REPORTED(TAVU_STOP_BOTH,
                         "%s:%s: Exiting, failed pthread_mutex_lock(hpEvQueue) rc=%d\n", rc);
  }
  g_hpEvQueue.push_back(event);
  // Still under the lock: once it is released the main thread may delete it.
  TAVU_TRACE("%s:%s: queued %s seq=%d, netlinkDataQueue %d, totals %d %d %d\n", event->iv_path,
             event->iv_seq, g_netlinkDataQueue.size(), g_totalNetlinkEvents.load(),
             g_totalTavuEvents.load(), g_sentToClient.load());
  rc = pthread_mutex_unlock(&g_hpEvQueue_mutex);
  if (rc != 0) {
    return TAVU_REPORTED(TAVU_STOP_BOTH,
                         "%s:%s: Exiting, failed pthread_mutex_unlock(hpEvQueue) rc=%d\n", rc);
  }
  return TAVU_GO_ON;
}

// Interprets one datagram and queues its event; g_totalTavuEvents counts
// each one the interpreter says is an event.
tavuStopScope tavuInterpretDatagram(const NetlinkDatagram& datagram) {
  tavuNetlinkEvent* event = nullptr;
  if (tavuHandleNetlinkEvent(static_cast<uint32_t>(datagram.length), datagram.data, &event) == 0) {
    return TAVU_GO_ON;
  }
  g_totalTavuEvents.fetch_add(1, std::memory_order_relaxed);
  if (event != nullptr) return tavuQueueEvent(event);
  return TAVU_REPORTED(TAVU_GO_ON,
                       "%s:%s: NULL tavuNetlinkEvent pointer returned by tavuHandleNetlinkEvent() "
                       "when it indicated a tavu event, totalNetlinkEvents: %d, totalTavuEvents: "
                       "%d, sentToClient %d\n",
                       g_totalNetlinkEvents.load(), g_totalTavuEvents.load(),
                       g_sentToClient.load());
}

// Handles a record taken from the queue, without the queue's lock.
tavuStopScope tavuHandleTakenDatagram(NetlinkDatagram* datagram) {
  if (datagram == nullptr) {
    return TAVU_REPORTED(TAVU_GO_ON,
                         "%s:%s: NULL pointer returned by g_netlinkDataQueue.front(), "
                         "totalNetlinkEvents: %d, totalTavuEvents: %d, sentToClient %d\n",
                         g_totalNetlinkEvents.load(), g_totalTavuEvents.load(),
                         g_sentToClient.load());
  }
  const tavuStopScope handled = tavuInterpretDatagram(*datagram);
  tavuFreeDatagram(datagram);
  return handled;
}

// Interprets every datagram on g_netlinkDataQueue in arrival order and, if
// the pass counted an event, signals g_hpEvQueue_cond once at its end.
// Entered and left holding g_netlinkDataQueue_mutex, which it drops while
// each datagram is interpreted.
tavuStopScope tavuDrainNetlinkDataQueue() {
  const int32_t eventsBefore = g_totalTavuEvents.load(std::memory_order_relaxed);
  while (!g_netlinkDataQueue.empty()) {
    NetlinkDatagram* datagram = g_netlinkDataQueue.front();
    g_netlinkDataQueue.pop_front();
    int rc = pthread_mutex_unlock(&g_netlinkDataQueue_mutex);
    if (rc != 0) {
      tavuFreeDatagram(datagram);  // taken, not interpreted, and nobody else has it
      return TAVU_REPORTED(TAVU_STOP_BOTH,
                           "%s:%s: Exiting, failed pthread_mutex_unlock(netlinkDataQueue) rc=%d\n",
                           rc);
    }
    const tavuStopScope handled = tavuHandleTakenDatagram(datagram);
    if (handled != TAVU_GO_ON) return handled;
    rc = pthread_mutex_lock(&g_netlinkDataQueue_mutex);
    if (rc != 0) {
      return TAVU_REPORTED(TAVU_STOP_BOTH,
                           "%s:%s: Exiting, failed pthread_mutex_lock(netlinkDataQueue) rc=%d\n",
                           rc);
    }
  }
  // Once per pass: while the reader keeps the queue full, the main thread
  // is not woken for every event.
  if (g_totalTavuEvents.load(std::memory_order_relaxed) != eventsBefore) {
    (void)pthread_cond_signal(&g_hpEvQueue_cond);
  }
  return TAVU_GO_ON;
}

// Returns only after a reported failure.
tavuStopScope tavuInterpretUntilStopped() {
  int rc = pthread_mutex_lock(&g_netlinkDataQueue_mutex);
  if (rc != 0) {
    return TAVU_REPORTED(TAVU_STOP_BOTH,
                         "%s:%s: Exiting, failed pthread_mutex_lock(netlinkDataQueue) rc=%d\n", rc);
  }
  TAVU_TRACE("%s:%s: running\n");
  for (;;) {
    // Not repeated here: a wake-up that finds the queue empty makes an
    // empty pass and comes back.
    if (g_netlinkDataQueue.empty()) {
      rc = pthread_cond_wait(&g_netlinkDataQueue_cond, &g_netlinkDataQueue_mutex);
      if (rc != 0) {
        return TAVU_REPORTED(TAVU_STOP_BOTH,
                             "%s:%s: Exiting, failed pthread_cond_wait(netlinkDataQueue) rc=%d\n",
                             rc);
      }
    }
    const tavuStopScope drained = tavuDrainNetlinkDataQueue();
    if (drained != TAVU_GO_ON) return drained;
  }
}

}  // namespace

void* tavuMonitorNetlinkEventQueue(void* /*unused*/) {
  (void)pthread_setname_np(pthread_self(), "tavu-worker");  // as ps and top show it
  tavuStopIntake(tavuInterpretUntilStopped());
  return nullptr;
}
