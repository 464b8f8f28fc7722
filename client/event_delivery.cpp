#include "client/event_delivery.h"
// PLACEHOLDER: delivery lands with the client channel work.
char* tavunetlink_BuildEventPayload(const tavuNetlinkEvent*, uint32_t* length) { *length = 0; return nullptr; }
void tavunetlink_SendToClient(tavuNetlinkEvent*) {}
