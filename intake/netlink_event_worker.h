// The uevent worker's drain pass, below its thread entry.
#pragma once

// Interprets every datagram on g_netlinkDataQueue in arrival order, appends
// the events to g_hpEvQueue and, if the pass indicated any, signals
// g_hpEvQueue_cond once at its end. Entered and left holding
// g_netlinkDataQueue_mutex, which it drops while each datagram is
// interpreted. Returns false when the thread must end; its end steps are
// then done.
bool tavuDrainNetlinkDataQueue();
