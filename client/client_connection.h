// The one client: listening socket, handshake, reply.
#pragma once

#include <sys/types.h>

// Returns once a client has connected and completed the handshake, with its
// socket in g_clientSockfd, or after a reported failure with g_clientSockfd
// left as it was.
void tavunetlink_GetClientConnection();

// Whether a process of `uid` may be the client (client_uids.cpp: the build's
// list; a test build links another).
bool tavuClientUidAllowed(uid_t uid);
