// Making and releasing the NetlinkDatagram records that travel from the
// reader to the worker.
#pragma once

#include <sys/types.h>

#include "daemon/netlink_datagram.h"

// A zero-filled record holding a heap copy of exactly `length` bytes of
// `bytes` (no NUL added). Null when memory could not be had: the reader
// queues the null all the same, and the worker reports it.
NetlinkDatagram* tavuNewDatagram(const char* bytes, ssize_t length);

// Frees the data block, then the record; a null record is ignored.
void tavuFreeDatagram(NetlinkDatagram* datagram);
