// Event messages to the client and their acknowledgments.
#pragma once

#include <cstdint>

#include "devnodes/netlink_event.h"

// A malloc'd event payload and its size through `length`; null and 0 when
// the buffer cannot be had. The caller frees it.
char* tavunetlink_BuildEventPayload(const tavuNetlinkEvent* event, uint32_t* length);

// Sends one event message and checks its acknowledgment; failures are
// reported and drop the event.
void tavunetlink_SendToClient(tavuNetlinkEvent* event);
