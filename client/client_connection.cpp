// The one client: listening socket, refusals of the users not allowed, the
// handshake and its reply.
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "client_channel.h"
#include "queues.h"
#include "report.h"

TAVU_REPORTS_AS("tavunetlink_GetClientConnection")

namespace {

constexpr int TAVU_CLIENT_BACKLOG = 5;
constexpr std::size_t TAVU_HANDSHAKE_TEXT_SIZE = sizeof TAVUCLIENT_HANDSHAKE_TEXT;
static_assert(sizeof(sockaddr_un) == 110, "the client address is 110 bytes");

// The name is all 108 path bytes, trailing NULs included: a client must
// give the same length to reach it.
void tavuBuildClientAddress(sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  // path byte 0 stays NUL: the abstract namespace
  std::memcpy(address->sun_path + 1, TAVUCLIENT_SOCKET_NAME, sizeof TAVUCLIENT_SOCKET_NAME - 1);
}

// Returns the bound, listening socket, or -1 after a report. It is never
// closed, so the name stays taken and no second daemon can serve.
int tavuListenForClient() {
  sockaddr_un address;
  tavuBuildClientAddress(&address);
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  if (listener == -1)
    return TAVU_REPORTED(-1, "%s:%s: Exiting, socket create failed, errno=%d\n", errno);
  if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return TAVU_REPORTED(-1, "%s:%s: Exiting, socket bind() failed, errno=%d\n", errno);
  }
  if (listen(listener, TAVU_CLIENT_BACKLOG) != 0) {
    return TAVU_REPORTED(-1, "%s:%s: Exiting, socket listen() failed, errno=%d\n", errno);
  }
  return listener;
}

// Refusals are told, but never more than a line a second, whatever other
// users do: the first at once, those within the second after a line counted
// and told in one line when it is over.
struct tavuRefusals {
  timespec iv_quietUntil{};  // monotonic; no line before it
  int32_t iv_uncounted = 0;
  ucred iv_last{};
};

constexpr long TAVU_REFUSAL_QUIET_MS = 1000;

long tavuMillisecondsUntil(const timespec& when) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const long ms = (when.tv_sec - now.tv_sec) * 1000 + (when.tv_nsec - now.tv_nsec) / 1000000;
  return ms > 0 ? ms : 0;
}

void tavuStartQuiet(tavuRefusals* refusals) {
  clock_gettime(CLOCK_MONOTONIC, &refusals->iv_quietUntil);
  refusals->iv_quietUntil.tv_sec += TAVU_REFUSAL_QUIET_MS / 1000;
}

void tavuTellUncounted(tavuRefusals* refusals) {
  if (refusals->iv_uncounted == 0) return;
  TAVU_REPORT("%s:%s: refused %d more clients not allowed, the last of uid %d, pid %d\n",
              refusals->iv_uncounted, static_cast<int32_t>(refusals->iv_last.uid),
              static_cast<int32_t>(refusals->iv_last.pid));
  refusals->iv_uncounted = 0;
  tavuStartQuiet(refusals);
}

void tavuNoteRefusal(tavuRefusals* refusals, const ucred& peer) {
  // A refusal that came as its second ended finds that second's count untold.
  if (tavuMillisecondsUntil(refusals->iv_quietUntil) == 0) tavuTellUncounted(refusals);
  if (tavuMillisecondsUntil(refusals->iv_quietUntil) > 0) {
    ++refusals->iv_uncounted;
    refusals->iv_last = peer;
    return;
  }
  TAVU_REPORT("%s:%s: refused a client of uid %d, pid %d: not allowed, waiting for another\n",
              static_cast<int32_t>(peer.uid), static_cast<int32_t>(peer.pid));
  tavuStartQuiet(refusals);
}

// Returns once a connection waits; refusals counted meanwhile are told when
// their second is over.
void tavuAwaitConnection(int listener, tavuRefusals* refusals) {
  while (refusals->iv_uncounted > 0) {
    pollfd ready{listener, POLLIN, 0};
    const int rc =
        poll(&ready, 1, static_cast<int>(tavuMillisecondsUntil(refusals->iv_quietUntil)));
    if (rc > 0) return;
    if (rc == 0) tavuTellUncounted(refusals);
  }
}

// An abstract socket has no permissions: whoever connects is asked who
// they are, and one not allowed is sent away before it can hold the
// daemon's only client place, told why so that it need not guess.
bool tavuPeerAllowed(int client, tavuRefusals* refusals) {
  ucred peer{0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
  socklen_t length = sizeof peer;
  if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
      tavuClientUidAllowed(peer.uid)) {
    return true;
  }
  tavuNoteRefusal(refusals, peer);
  const tavunetlinkMsgHeader refusal{TAVUCLIENT_SIGNATURE, static_cast<int32_t>(peer.uid),
                                     TAVUCLIENT_REFUSED};
  (void)send(client, &refusal, sizeof refusal, MSG_NOSIGNAL | MSG_DONTWAIT);
  return false;
}

// Accepts until an allowed peer connects; a failed accept is not repeated,
// not even on EINTR.
int tavuAcceptClient(int listener) {
  tavuRefusals refusals;
  for (;;) {
    tavuAwaitConnection(listener, &refusals);
    sockaddr peer;  // 16 bytes, never looked at
    socklen_t peerLength = sizeof peer;
    const int client = accept(listener, &peer, &peerLength);
    if (client == -1) {
      return TAVU_REPORTED(-1, "%s:%s: Exiting, client socket accept error, errno=%d\n", errno);
    }
    if (tavuPeerAllowed(client, &refusals)) {
      tavuTellUncounted(&refusals);  // before the trace takes the reports
      return client;
    }
    close(client);
  }
}

// One receive: the client must send its 29 bytes in one write. Returns the
// count received, or -1 after a report.
ssize_t tavuReceiveHandshake(int client, unsigned char (&handshake)[TAVUCLIENT_HANDSHAKE_SIZE]) {
  ssize_t received;
  do {
    received = recv(client, handshake, sizeof handshake, 0);
  } while (received == -1 && errno == EINTR);
  if (received != -1) return received;
  return TAVU_REPORTED(-1, "%s:%s: Exiting, socket recv() failed, errno=%d\n", errno);
}

// Whether the `count` bytes received are a handshake; any serial number is.
bool tavuHandshakeMatches(const unsigned char* received, std::size_t count) {
  if (count != TAVUCLIENT_HANDSHAKE_SIZE) return false;
  const tavunetlinkMsgHeader header = tavuLoadMsgHeader(received);
  return header.signature == TAVUCLIENT_SIGNATURE &&
         header.payloadLength == static_cast<int32_t>(TAVU_HANDSHAKE_TEXT_SIZE) &&
         std::memcmp(received + sizeof header, TAVUCLIENT_HANDSHAKE_TEXT,
                     TAVU_HANDSHAKE_TEXT_SIZE) == 0;
}

// The fatal mismatch report for the `count` bytes received (at most 29).
void tavuReportHandshakeMismatch(const unsigned char* received, std::size_t count) {
  const auto length = static_cast<int32_t>(count);
  if (count <= sizeof(tavunetlinkMsgHeader)) {
    TAVU_REPORT("%s:%s: Exiting, received message didn't match what is expected, msglength=%d\n",
                length);
    return;
  }
  const tavunetlinkMsgHeader header = tavuLoadMsgHeader(received);
  // The client's text may lack its NUL: show it only as far as it arrived.
  char text[TAVU_HANDSHAKE_TEXT_SIZE + 1] = {};
  const std::size_t textBytes = std::min(count - sizeof header, TAVU_HANDSHAKE_TEXT_SIZE);
  std::memcpy(text, received + sizeof header, textBytes);
  TAVU_REPORT(
      "%s:%s: Exiting, received message didn't match what is expected, msglength=%d, "
      "signature=0x%x, serialnum=%d, payloadLength=%d, message=%s\n",
      length, header.signature, header.serialNum, header.payloadLength,
      static_cast<const char*>(text));
}

// The reply echoes the handshake's header with nothing after it.
bool tavuSendHandshakeReply(int client, const unsigned char* handshake) {
  tavunetlinkMsgHeader reply = tavuLoadMsgHeader(handshake);
  reply.payloadLength = 0;
  ssize_t sent;
  do {
    sent = send(client, &reply, sizeof reply, MSG_NOSIGNAL);
  } while (sent == -1 && errno == EINTR);
  if (sent != -1) return true;
  return TAVU_REPORTED(false, "%s:%s: Exiting, socket send() failed, errno=%d\n", errno);
}

}  // namespace

// Every failure returns at once with g_clientSockfd still -1 and whatever
// was opened left open: the delivery loop ends the daemon.
void tavunetlink_GetClientConnection() {
  TAVU_TRACE("%s:%s: waiting for a client\n");
  const int listener = tavuListenForClient();
  if (listener == -1) return;
  const int client = tavuAcceptClient(listener);
  if (client == -1) return;
  unsigned char handshake[TAVUCLIENT_HANDSHAKE_SIZE];
  const ssize_t received = tavuReceiveHandshake(client, handshake);
  if (received == -1) return;
  if (!tavuHandshakeMatches(handshake, static_cast<std::size_t>(received))) {
    return tavuReportHandshakeMismatch(handshake, static_cast<std::size_t>(received));
  }
  g_msgSerialNum = tavuLoadMsgHeader(handshake).serialNum;
  if (!tavuSendHandshakeReply(client, handshake)) return;
  TAVU_TRACE("%s:%s: client connected\n");
  g_clientSockfd.store(client, std::memory_order_release);
}
