#include "client/client_connection.h"

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "client/allowed_uids.h"
#include "client/handshake.h"
#include "client/msg_header.h"
#include "daemon/globals.h"
#include "daemon/report.h"

namespace {

constexpr char TAVU_CLIENT_SOCKET_NAME[] = "tavunetlinksocket";
constexpr int TAVU_CLIENT_BACKLOG = 5;
static_assert(sizeof(sockaddr_un) == 110, "the client address is 110 bytes");

// The name is all 108 path bytes, trailing NULs included: a client must
// give the same length to reach it.
void tavuBuildClientAddress(sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  // path byte 0 stays NUL: the abstract namespace
  std::memcpy(address->sun_path + 1, TAVU_CLIENT_SOCKET_NAME, sizeof TAVU_CLIENT_SOCKET_NAME - 1);
}

// Returns the bound, listening socket, or -1 after a report. It is never
// closed, so the name stays taken and no second daemon can serve.
int tavuListenForClient() {
  sockaddr_un address;
  tavuBuildClientAddress(&address);
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  if (listener == -1) {
    TAVU_REPORT("%s:%s: Exiting, socket create failed, errno=%d\n", g_progName,
                "tavunetlink_GetClientConnection", errno);
    return -1;
  }
  if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    TAVU_REPORT("%s:%s: Exiting, socket bind() failed, errno=%d\n", g_progName,
                "tavunetlink_GetClientConnection", errno);
    return -1;
  }
  if (listen(listener, TAVU_CLIENT_BACKLOG) != 0) {
    TAVU_REPORT("%s:%s: Exiting, socket listen() failed, errno=%d\n", g_progName,
                "tavunetlink_GetClientConnection", errno);
    return -1;
  }
  return listener;
}

// An abstract socket has no permissions: whoever connects is asked who
// they are, and one not allowed is sent away before it can hold the
// daemon's only client place.
bool tavuPeerAllowed(int client) {
  ucred peer{0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
  socklen_t length = sizeof peer;
  if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
      tavu_uid_allowed(peer.uid) != 0) {
    return true;
  }
  TAVU_REPORT("%s:%s: refused a client of uid %d, pid %d: not allowed, waiting for another\n",
              g_progName, "tavunetlink_GetClientConnection", static_cast<int32_t>(peer.uid),
              static_cast<int32_t>(peer.pid));
  return false;
}

// Accepts until an allowed peer connects; a failed accept is not repeated,
// not even on EINTR.
int tavuAcceptClient(int listener) {
  for (;;) {
    sockaddr peer;  // 16 bytes, never looked at
    socklen_t peerLength = sizeof peer;
    const int client = accept(listener, &peer, &peerLength);
    if (client == -1) {
      TAVU_REPORT("%s:%s: Exiting, client socket accept error, errno=%d\n", g_progName,
                  "tavunetlink_GetClientConnection", errno);
      return -1;
    }
    if (tavuPeerAllowed(client)) return client;
    close(client);
  }
}

// One receive: the client must send its 29 bytes in one write. Returns the
// count received, or -1 after a report.
ssize_t tavuReceiveHandshake(int client, unsigned char (&handshake)[TAVU_HANDSHAKE_SIZE]) {
  ssize_t received;
  do {
    received = recv(client, handshake, sizeof handshake, 0);
  } while (received == -1 && errno == EINTR);
  if (received == -1) {
    TAVU_REPORT("%s:%s: Exiting, socket recv() failed, errno=%d\n", g_progName,
                "tavunetlink_GetClientConnection", errno);
  }
  return received;
}

// The reply echoes the handshake's header with nothing after it.
bool tavuSendHandshakeReply(int client, const unsigned char* handshake) {
  tavunetlinkMsgHeader reply = tavuLoadMsgHeader(handshake);
  reply.payloadLength = 0;
  ssize_t sent;
  do {
    sent = send(client, &reply, sizeof reply, MSG_NOSIGNAL);
  } while (sent == -1 && errno == EINTR);
  if (sent == -1) {
    TAVU_REPORT("%s:%s: Exiting, socket send() failed, errno=%d\n", g_progName,
                "tavunetlink_GetClientConnection", errno);
    return false;
  }
  return true;
}

}  // namespace

// Every failure returns at once with g_clientSockfd still -1 and whatever
// was opened left open: the delivery loop ends the daemon.
void tavunetlink_GetClientConnection() {
  TAVU_TRACE("%s:%s: waiting for a client\n", g_progName, "tavunetlink_GetClientConnection");
  const int listener = tavuListenForClient();
  if (listener == -1) return;
  const int client = tavuAcceptClient(listener);
  if (client == -1) return;
  unsigned char handshake[TAVU_HANDSHAKE_SIZE];
  const ssize_t received = tavuReceiveHandshake(client, handshake);
  if (received == -1) return;
  if (!tavuHandshakeMatches(handshake, static_cast<std::size_t>(received))) {
    tavuReportHandshakeMismatch(handshake, static_cast<std::size_t>(received));
    return;
  }
  g_msgSerialNum = tavuLoadMsgHeader(handshake).serialNum;
  if (!tavuSendHandshakeReply(client, handshake)) return;
  TAVU_TRACE("%s:%s: client connected\n", g_progName, "tavunetlink_GetClientConnection");
  g_clientSockfd.store(client, std::memory_order_release);
}
