// Kernel event intake: the two background threads, and how either of them
// stops the daemon when it meets a fatal failure.
#pragma once

// Receives uevent datagrams from the kernel and queues them on g_netlinkDataQueue.
void* tavuMonitorNetlinkSocket(void* unused);

// Interprets queued datagrams in arrival order and queues events on g_hpEvQueue.
void* tavuMonitorNetlinkEventQueue(void* unused);

enum tavuStopScope {
  TAVU_GO_ON,             // no stop: the thread carries on
  TAVU_STOP_SIGNAL_ONLY,  // the uevent socket was never made: wake only
  TAVU_STOP_BOTH,         // store -1 in g_clientSockfd and g_netlinkSocketFd, then wake
};

// A thread's end steps, in one place: stores the stop value and wakes the
// main thread, which then ends the process. Done holding g_hpEvQueue_mutex,
// so that a stop can never fall between the delivery loop's check of the
// descriptors and its wait.
void tavuStopIntake(tavuStopScope scope);
