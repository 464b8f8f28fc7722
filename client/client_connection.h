// The one client: listening socket, handshake, reply.
#pragma once

// Returns once a client has connected and completed the handshake, with its
// socket in g_clientSockfd, or after a reported failure with g_clientSockfd
// left as it was.
void tavunetlink_GetClientConnection();
