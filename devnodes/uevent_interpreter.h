// Turns one uevent datagram into a tavuNetlinkEvent, keeping /dev in step.
#pragma once

#include <cstdint>

#include "netlink_event.h"

// Returns 1 and stores a new record through `event` when the datagram is an
// event for the client; returns 0 and leaves `event` untouched otherwise.
// Reads nothing at or beyond data[length].
int tavuHandleNetlinkEvent(uint32_t length, const char* data, tavuNetlinkEvent** event);
