// The daemon's side of the client channel: the one client's connection and
// handshake, and the framed, acknowledged event messages. The wire format
// itself is tavuclient.h's, which clients include too.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstring>

#include "netlink_event.h"
#include "tavuclient.h"

// The 12-byte header that opens every message, in host byte order, packed.
struct tavunetlinkMsgHeader {
  uint32_t signature;  // TAVUCLIENT_SIGNATURE
  int32_t serialNum;
  int32_t payloadLength;  // bytes after the header
};
static_assert(sizeof(tavunetlinkMsgHeader) == TAVUCLIENT_HEADER_SIZE, "the header is 12 bytes");
static_assert(TAVUCLIENT_HANDSHAKE_SIZE == 29, "the handshake is 29 bytes");
// The daemon's own values are those the library's clients read.
static_assert(TAVU_ACTION_NONE == TAVUCLIENT_ACTION_NONE &&
                  TAVU_ACTION_ADD == TAVUCLIENT_ACTION_ADD &&
                  TAVU_ACTION_REMOVE == TAVUCLIENT_ACTION_REMOVE,
              "the action codes are the wire's");
static_assert(TAVU_UEVENT_MAX == TAVUCLIENT_TEXT_MAX, "a client holds any text a uevent can carry");

// The serial number of the last message: the handshake's, then each
// event's. Main thread only.
extern int32_t g_msgSerialNum;

// Received bytes carry no alignment, so the header is copied out of them.
inline tavunetlinkMsgHeader tavuLoadMsgHeader(const void* bytes) {
  tavunetlinkMsgHeader header;
  std::memcpy(&header, bytes, sizeof header);
  return header;
}

// Returns once a client has connected and completed the handshake, with its
// socket in g_clientSockfd, or after a reported failure with g_clientSockfd
// left as it was.
void tavunetlink_GetClientConnection();

// Whether a process of `uid` may be the client (client_uids.cpp: the build's
// list; a test build links another).
bool tavuClientUidAllowed(uid_t uid);

// A malloc'd event payload and its size through `length`; null and 0 when
// the buffer cannot be had. The caller frees it.
char* tavunetlink_BuildEventPayload(const tavuNetlinkEvent* event, uint32_t* length);

// Sends one event message and checks its acknowledgment; failures are
// reported and drop the event.
void tavunetlink_SendToClient(tavuNetlinkEvent* event);
