// The uevent socket reader's parts below its thread entry.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Receive buffer asked of the kernel, beyond its ordinary per-socket limit.
constexpr int32_t TAVU_UEVENT_RCVBUF_SIZE = 262144;
// Real-time (SCHED_FIFO) priority of the reader thread, where permitted.
constexpr int TAVU_READER_PRIORITY = 10;
// Longest datagram taken; the kernel drops the rest of a longer one.
constexpr size_t TAVU_UEVENT_MAX = 4096;

// Turns one receive result of n bytes (0 to TAVU_UEVENT_MAX) into a record
// on g_netlinkDataQueue and wakes the worker. Returns false when the thread
// must end; its end steps are then done.
bool tavuQueueDatagram(const char* buffer, ssize_t n);
