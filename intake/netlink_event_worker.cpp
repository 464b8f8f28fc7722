// The uevent worker: hands each queued datagram to the interpreter, in
// arrival order, and queues the events it makes for the main thread.
#include "intake/netlink_event_worker.h"

#include <pthread.h>

#include "daemon/globals.h"
#include "daemon/report.h"
#include "devnodes/netlink_event.h"
#include "devnodes/uevent_interpreter.h"
#include "intake/datagram_record.h"
#include "intake/intake_stop.h"
#include "intake/intake_threads.h"

namespace {

constexpr const char* TAVU_WORKER = "tavuMonitorNetlinkEventQueue";

// Appends the event under g_hpEvQueue_mutex. Returns false when the thread
// must end (end steps done).
bool tavuQueueEvent(tavuNetlinkEvent* event) {
  int rc = pthread_mutex_lock(&g_hpEvQueue_mutex);
  if (rc != 0) {
    TAVU_REPORT("%s:%s: Exiting, failed pthread_mutex_lock(hpEvQueue) rc=%d\n", g_progName,
                TAVU_WORKER, rc);
    tavuStopIntake(TAVU_STOP_BOTH);
    delete event;  // never queued, so still ours
    return false;
  }
  g_hpEvQueue.push_back(event);
  // Still under the lock: once it is released the main thread may delete it.
  TAVU_TRACE("%s:%s: queued %s seq=%d, netlinkDataQueue %d, totals %d %d %d\n", g_progName,
             TAVU_WORKER, event->iv_path, event->iv_seq, g_netlinkDataQueue.size(),
             g_totalNetlinkEvents.load(), g_totalTavuEvents.load(), g_sentToClient.load());
  rc = pthread_mutex_unlock(&g_hpEvQueue_mutex);
  if (rc != 0) {
    TAVU_REPORT("%s:%s: Exiting, failed pthread_mutex_unlock(hpEvQueue) rc=%d\n", g_progName,
                TAVU_WORKER, rc);
    tavuStopIntake(TAVU_STOP_BOTH);
    return false;
  }
  return true;
}

// Interprets one datagram and queues its event; sets *indicated when the
// interpreter says it is one. Returns false when the thread must end.
bool tavuInterpretDatagram(const NetlinkDatagram& datagram, bool* indicated) {
  tavuNetlinkEvent* event = nullptr;
  if (tavuHandleNetlinkEvent(static_cast<uint32_t>(datagram.length), datagram.data, &event) == 0) {
    return true;
  }
  g_totalTavuEvents.fetch_add(1, std::memory_order_relaxed);
  *indicated = true;
  if (event == nullptr) {
    TAVU_REPORT(
        "%s:%s: NULL tavuNetlinkEvent pointer returned by tavuHandleNetlinkEvent() when it "
        "indicated a tavu event, totalNetlinkEvents: %d, totalTavuEvents: %d, sentToClient %d\n",
        g_progName, TAVU_WORKER, g_totalNetlinkEvents.load(), g_totalTavuEvents.load(),
        g_sentToClient.load());
    return true;
  }
  return tavuQueueEvent(event);
}

// Handles a record taken from the queue, without the queue's lock.
// Returns false when the thread must end.
bool tavuHandleTakenDatagram(NetlinkDatagram* datagram, bool* indicated) {
  if (datagram == nullptr) {
    TAVU_REPORT(
        "%s:%s: NULL pointer returned by g_netlinkDataQueue.front(), totalNetlinkEvents: %d, "
        "totalTavuEvents: %d, sentToClient %d\n",
        g_progName, TAVU_WORKER, g_totalNetlinkEvents.load(), g_totalTavuEvents.load(),
        g_sentToClient.load());
    return true;
  }
  const bool goOn = tavuInterpretDatagram(*datagram, indicated);
  tavuFreeDatagram(datagram);
  return goOn;
}

}  // namespace

bool tavuDrainNetlinkDataQueue() {
  bool indicated = false;
  while (!g_netlinkDataQueue.empty()) {
    NetlinkDatagram* datagram = g_netlinkDataQueue.front();
    g_netlinkDataQueue.pop_front();
    int rc = pthread_mutex_unlock(&g_netlinkDataQueue_mutex);
    if (rc != 0) {
      TAVU_REPORT("%s:%s: Exiting, failed pthread_mutex_unlock(netlinkDataQueue) rc=%d\n",
                  g_progName, TAVU_WORKER, rc);
      tavuStopIntake(TAVU_STOP_BOTH);
      tavuFreeDatagram(datagram);  // taken, not interpreted, and nobody else has it
      return false;
    }
    if (!tavuHandleTakenDatagram(datagram, &indicated)) return false;
    rc = pthread_mutex_lock(&g_netlinkDataQueue_mutex);
    if (rc != 0) {
      TAVU_REPORT("%s:%s: Exiting, failed pthread_mutex_lock(netlinkDataQueue) rc=%d\n", g_progName,
                  TAVU_WORKER, rc);
      tavuStopIntake(TAVU_STOP_BOTH);
      return false;
    }
  }
  // Once per pass: while the reader keeps the queue full, the main thread
  // is not woken for every event.
  if (indicated) (void)pthread_cond_signal(&g_hpEvQueue_cond);
  return true;
}

void* tavuMonitorNetlinkEventQueue(void* /*unused*/) {
  int rc = pthread_mutex_lock(&g_netlinkDataQueue_mutex);
  if (rc != 0) {
    TAVU_REPORT("%s:%s: Exiting, failed pthread_mutex_lock(netlinkDataQueue) rc=%d\n", g_progName,
                TAVU_WORKER, rc);
    tavuStopIntake(TAVU_STOP_BOTH);
    return nullptr;
  }
  TAVU_TRACE("%s:%s: running\n", g_progName, TAVU_WORKER);
  for (;;) {
    // Not repeated here: a wake-up that finds the queue empty makes an
    // empty pass and comes back.
    if (g_netlinkDataQueue.empty()) {
      rc = pthread_cond_wait(&g_netlinkDataQueue_cond, &g_netlinkDataQueue_mutex);
      if (rc != 0) {
        TAVU_REPORT("%s:%s: Exiting, failed pthread_cond_wait(netlinkDataQueue) rc=%d\n",
                    g_progName, TAVU_WORKER, rc);
        tavuStopIntake(TAVU_STOP_BOTH);
        return nullptr;
      }
    }
    if (!tavuDrainNetlinkDataQueue()) return nullptr;
  }
}
