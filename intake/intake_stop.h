// The end steps shared by the reader and the worker: store the stop value
// in the descriptors and wake the main thread, which then ends the process.
#pragma once

enum tavuStopScope {
  TAVU_STOP_SIGNAL_ONLY,  // the uevent socket was never made: wake only
  TAVU_STOP_BOTH,         // store -1 in g_clientSockfd and g_netlinkSocketFd, then wake
};

// Stores and signals while holding g_hpEvQueue_mutex, so that a stop can never
// fall between the delivery loop's check of the descriptors and its wait.
void tavuStopIntake(tavuStopScope scope);
