// The two background threads of kernel event intake.
#pragma once

// Receives uevent datagrams from the kernel and queues them on g_netlinkDataQueue.
void* tavuMonitorNetlinkSocket(void* unused);

// Interprets queued datagrams in arrival order and queues events on g_hpEvQueue.
void* tavuMonitorNetlinkEventQueue(void* unused);
