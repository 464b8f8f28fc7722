/*
 * tavuclient: the client side of the tavunetlink socket. See tavuclient.h
 * for the protocol; this file is meant to be read and copied.
 */
#define _GNU_SOURCE /* SOCK_CLOEXEC and MSG_NOSIGNAL */

#include "tavuclient.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

/* ---- Byte images ---------------------------------------------------- */

/* Numbers travel as they lie in memory; memcpy copes with any alignment. */
static void tavuPutInt32(unsigned char* out, int32_t value) {
  memcpy(out, &value, 4);
}

static int32_t tavuGetInt32(const unsigned char* in) {
  int32_t value;
  memcpy(&value, in, 4);
  return value;
}

struct tavuWireHeader {
  uint32_t signature;
  int32_t serial_num;
  int32_t payload_length;
};

static void tavuPutHeader(unsigned char* out, uint32_t signature, int32_t serial_num,
                          int32_t payload_length) {
  memcpy(out, &signature, 4);
  tavuPutInt32(out + 4, serial_num);
  tavuPutInt32(out + 8, payload_length);
}

static struct tavuWireHeader tavuGetHeader(const unsigned char* in) {
  struct tavuWireHeader header;
  memcpy(&header.signature, in, 4);
  header.serial_num = tavuGetInt32(in + 4);
  header.payload_length = tavuGetInt32(in + 8);
  return header;
}

static int tavuFailWith(int error) {
  errno = error;
  return -1;
}

/* ---- Socket input and output --------------------------------------- */

/* The daemon reads each message with a single receive call, so every
 * message must go out in one send. */
static int tavuSendMessage(int fd, const unsigned char* message, size_t size) {
  ssize_t sent;
  do {
    sent = send(fd, message, size, MSG_NOSIGNAL);
  } while (sent == -1 && errno == EINTR);
  if (sent == -1) return -1;
  if ((size_t)sent != size) return tavuFailWith(EIO);
  return 0;
}

/* Milliseconds left until `deadline`, 0 when it has passed. */
static int tavuMillisecondsLeft(const struct timespec* deadline) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  long ms = (deadline->tv_sec - now.tv_sec) * 1000 + (deadline->tv_nsec - now.tv_nsec) / 1000000;
  return ms > 0 ? (int)ms : 0;
}

/* Waits until `fd` has something to read, or ETIMEDOUT at `deadline`
 * (null: no deadline). */
static int tavuAwaitInput(int fd, const struct timespec* deadline) {
  if (deadline == NULL) return 0;
  struct pollfd input = {fd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&input, 1, tavuMillisecondsLeft(deadline));
  } while (ready == -1 && errno == EINTR);
  if (ready == 0) return tavuFailWith(ETIMEDOUT);
  return ready == 1 ? 0 : -1;
}

/* A stream may deliver a message in pieces: read until `size` bytes are
 * in or the stream ends. Returns the count read (less than `size` only
 * when the stream ended), or -1 with errno. A reset counts as an end: it
 * is how a daemon that exits with our bytes still unread says goodbye. */
static ssize_t tavuReceiveFully(int fd, unsigned char* buffer, size_t size,
                                const struct timespec* deadline) {
  size_t done = 0;
  while (done < size) {
    if (tavuAwaitInput(fd, deadline) != 0) return -1;
    ssize_t received = recv(fd, buffer + done, size - done, 0);
    if (received > 0) {
      done += (size_t)received;
    } else if (received == 0 || errno == ECONNRESET) {
      break;
    } else if (errno != EINTR) {
      return -1;
    }
  }
  return (ssize_t)done;
}

/* ---- Connecting and the handshake ----------------------------------- */

static void tavuDaemonAddress(struct sockaddr_un* address) {
  /* The daemon's name is all 108 path bytes: a NUL (the abstract
   * namespace), the name, and NULs to the end. The length must be the
   * whole structure, or the kernel looks up a different name. */
  memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  memcpy(address->sun_path + 1, TAVUCLIENT_SOCKET_NAME, strlen(TAVUCLIENT_SOCKET_NAME));
}

/* A socket connected to whoever listens on the daemon's name, or -1. It
 * does not wait when the listener takes no more connections (EAGAIN): the
 * daemon accepts one client in its life. */
static int tavuConnectToName(void) {
  struct sockaddr_un address;
  tavuDaemonAddress(&address);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd == -1) return -1;
  if (connect(fd, (const struct sockaddr*)&address, sizeof address) == 0 &&
      fcntl(fd, F_SETFL, 0) == 0) {
    return fd;
  }
  int error = errno;
  close(fd);
  return tavuFailWith(error);
}

static int tavuPeerUid(int fd, uid_t* uid) {
  struct ucred peer;
  socklen_t length = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return -1;
  *uid = peer.uid;
  return 0;
}

/* One socket of the kernel's answer: 1 with *uid set when it is the one
 * listening on the daemon's name and its owner is told, -1 when it is that
 * one but its owner is not told (Linux before 5.3), 0 when it is another. */
static int tavuListenerInAnswer(struct nlmsghdr* answer, const struct sockaddr_un* address,
                                uid_t* uid) {
  struct unix_diag_msg* socket_info = NLMSG_DATA(answer);
  int length = (int)answer->nlmsg_len - (int)NLMSG_LENGTH(sizeof *socket_info);
  int named = 0, told = 0;
  for (struct rtattr* field = (struct rtattr*)(socket_info + 1); RTA_OK(field, length);
       field = RTA_NEXT(field, length)) {
    if (field->rta_type == UNIX_DIAG_NAME) {
      named = RTA_PAYLOAD(field) == sizeof address->sun_path &&
              memcmp(RTA_DATA(field), address->sun_path, sizeof address->sun_path) == 0;
    } else if (field->rta_type == UNIX_DIAG_UID && RTA_PAYLOAD(field) == sizeof(uint32_t)) {
      uint32_t owner;
      memcpy(&owner, RTA_DATA(field), sizeof owner);
      *uid = (uid_t)owner;
      told = 1;
    }
  }
  return !named ? 0 : told ? 1 : -1;
}

/* Reads the kernel's answer up to the socket listening on the daemon's
 * name: as tavuDiagnoseListener. */
static int tavuReadDiagnosis(int fd, const struct sockaddr_un* address, uid_t* uid) {
  uint32_t answers[2048]; /* 8 KiB, aligned as netlink messages are */
  for (;;) {
    int size = (int)recv(fd, answers, sizeof answers, 0);
    if (size <= 0) return -1;
    for (struct nlmsghdr* answer = (struct nlmsghdr*)answers; NLMSG_OK(answer, size);
         answer = NLMSG_NEXT(answer, size)) {
      if (answer->nlmsg_type == NLMSG_DONE) return 0;
      if (answer->nlmsg_type == NLMSG_ERROR) return -1;
      int found = tavuListenerInAnswer(answer, address, uid);
      if (found != 0) return found;
    }
  }
}

/* Who listens on the daemon's name, as the kernel's Unix socket
 * diagnostics tell it, without connecting (which would take a place in the
 * listener's queue for good): 1 with *uid set; 0 when nobody listens on
 * it; -1 when the kernel does not tell (no unix_diag in it, or no owner in
 * its answer before Linux 5.3). */
static int tavuDiagnoseListener(uid_t* uid) {
  struct {
    struct nlmsghdr header;
    struct unix_diag_req request;
  } query = {{sizeof query, SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST | NLM_F_DUMP, 0, 0},
             {AF_UNIX, 0, 0, 1u << TCP_LISTEN, 0, UDIAG_SHOW_NAME | UDIAG_SHOW_UID, {0, 0}}};
  struct sockaddr_un address;
  tavuDaemonAddress(&address);
  int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd == -1) return -1;
  int result = send(fd, &query, sizeof query, 0) == (ssize_t)sizeof query
                   ? tavuReadDiagnosis(fd, &address, uid)
                   : -1;
  close(fd);
  return result;
}

/* An abstract name has no owner: whoever listens first holds it. Only a
 * socket whose listener runs as root, or as a uid of the build's
 * TAVU_DAEMON_UIDS, is the daemon's. */
static int tavuDaemonUid(uid_t uid) {
  static const uid_t trusted[] = {0, TAVU_DAEMON_UIDS};
  for (size_t i = 0; i < sizeof trusted / sizeof trusted[0]; ++i) {
    if (uid == trusted[i]) return 1;
  }
  return 0;
}

/* A listener the kernel names as another user's is refused before any
 * connection; the connected listener's own credentials are checked in any
 * case, as the name may have changed hands, or the kernel did not tell. */
int tavuclient_connect(void) {
  uid_t uid;
  if (tavuDiagnoseListener(&uid) == 1 && !tavuDaemonUid(uid)) return tavuFailWith(EPERM);
  int fd = tavuConnectToName();
  if (fd == -1 || (tavuPeerUid(fd, &uid) == 0 && tavuDaemonUid(uid))) return fd;
  close(fd);
  return tavuFailWith(EPERM);
}

int tavuclient_listener_uid(uid_t* uid) {
  int told = tavuDiagnoseListener(uid);
  if (told != -1) return told == 1 ? 0 : tavuFailWith(ECONNREFUSED);
  int fd = tavuConnectToName();
  if (fd == -1) return -1;
  int result = tavuPeerUid(fd, uid);
  close(fd);
  return result;
}

/* Reads the daemon's 12-byte reply to the handshake and checks it. */
static int tavuReceiveHandshakeReply(int fd, int32_t serial_num, const struct timespec* deadline) {
  unsigned char reply[TAVUCLIENT_HEADER_SIZE];
  ssize_t received = tavuReceiveFully(fd, reply, sizeof reply, deadline);
  if (received == -1) return -1;
  /* A daemon that rejects the handshake reports it and ends at once. */
  if (received == 0) return tavuFailWith(ECONNRESET);
  if (received < (ssize_t)sizeof reply) return tavuFailWith(EPROTO);

  struct tavuWireHeader header = tavuGetHeader(reply);
  if (header.signature == TAVUCLIENT_SIGNATURE && header.payload_length == TAVUCLIENT_REFUSED) {
    return tavuFailWith(EACCES);
  }
  if (header.signature != TAVUCLIENT_SIGNATURE || header.serial_num != serial_num ||
      header.payload_length != 0) {
    return tavuFailWith(EPROTO);
  }
  return 0;
}

int tavuclient_handshake_within(int fd, int32_t serial_num, int timeout_ms) {
  static const char text[] = TAVUCLIENT_HANDSHAKE_TEXT; /* sent with its NUL */
  unsigned char message[TAVUCLIENT_HEADER_SIZE + sizeof text];
  tavuPutHeader(message, TAVUCLIENT_SIGNATURE, serial_num, (int32_t)sizeof text);
  memcpy(message + TAVUCLIENT_HEADER_SIZE, text, sizeof text);
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += timeout_ms / 1000;
  deadline.tv_nsec += (long)(timeout_ms % 1000) * 1000000;
  if (deadline.tv_nsec >= 1000000000) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000;
  }
  /* A refused client finds the daemon's end closed, and the refusal left
   * for it to read. */
  if (tavuSendMessage(fd, message, sizeof message) != 0 && errno != EPIPE) return -1;
  return tavuReceiveHandshakeReply(fd, serial_num, timeout_ms < 0 ? NULL : &deadline);
}

int tavuclient_handshake(int fd, int32_t serial_num) {
  return tavuclient_handshake_within(fd, serial_num, TAVUCLIENT_HANDSHAKE_TIMEOUT_MS);
}

/* ---- Events --------------------------------------------------------- */

/* Decodes a whole payload of `size` bytes (checked to lie between the
 * minimum and maximum). The path text must end inside the payload and the
 * type text must end exactly at its last byte. Writes *event only when
 * every check has passed. */
static int tavuDecodePayload(const unsigned char* payload, size_t size,
                             struct tavuclient_event* event) {
  const unsigned char* texts = payload + TAVUCLIENT_NUMBERS_SIZE;
  size_t texts_size = size - TAVUCLIENT_NUMBERS_SIZE; /* both texts with their NULs */

  const unsigned char* path_nul = memchr(texts, '\0', texts_size);
  if (path_nul == NULL) return tavuFailWith(EPROTO);
  size_t path_size = (size_t)(path_nul - texts) + 1;
  size_t type_size = texts_size - path_size;
  if (type_size == 0) return tavuFailWith(EPROTO);
  if (memchr(texts + path_size, '\0', type_size) != texts + texts_size - 1)
    return tavuFailWith(EPROTO);
  if (path_size > TAVUCLIENT_TEXT_MAX || type_size > TAVUCLIENT_TEXT_MAX)
    return tavuFailWith(EPROTO);

  event->time = tavuGetInt32(payload + 0);
  event->action = tavuGetInt32(payload + 4);
  event->seq = tavuGetInt32(payload + 8);
  event->link = tavuGetInt32(payload + 12);
  event->tlor = tavuGetInt32(payload + 16);
  memcpy(event->path, texts, path_size);
  memcpy(event->type, texts + path_size, type_size);
  return 0;
}

int tavuclient_receive_event(int fd, struct tavuclient_event* event) {
  unsigned char head[TAVUCLIENT_HEADER_SIZE];
  ssize_t received = tavuReceiveFully(fd, head, sizeof head, NULL);
  if (received == -1) return -1;
  if (received == 0) return 0; /* the daemon has gone */
  if (received < (ssize_t)sizeof head) return tavuFailWith(EPROTO);

  /* Check the sizes before reading on: a bad length must not make us
   * wait for bytes that will never come, or overrun the buffer. */
  struct tavuWireHeader header = tavuGetHeader(head);
  if (header.signature != TAVUCLIENT_SIGNATURE || header.payload_length < TAVUCLIENT_PAYLOAD_MIN ||
      header.payload_length > TAVUCLIENT_PAYLOAD_MAX) {
    return tavuFailWith(EPROTO);
  }

  unsigned char payload[TAVUCLIENT_PAYLOAD_MAX];
  size_t size = (size_t)header.payload_length;
  received = tavuReceiveFully(fd, payload, size, NULL);
  if (received == -1) return -1;
  if ((size_t)received < size) return tavuFailWith(EPROTO); /* cut off in the middle */

  if (tavuDecodePayload(payload, size, event) != 0) return -1;
  event->serial_num = header.serial_num;
  return 1;
}

/* One bare header in one write: an acknowledgment is exactly that. */
static int tavuSendHeader(int fd, uint32_t signature, int32_t serial_num, int32_t payload_length) {
  unsigned char message[TAVUCLIENT_HEADER_SIZE];
  tavuPutHeader(message, signature, serial_num, payload_length);
  return tavuSendMessage(fd, message, sizeof message);
}

int tavuclient_acknowledge(int fd, const struct tavuclient_event* event) {
  return tavuSendHeader(fd, TAVUCLIENT_SIGNATURE, event->serial_num, 0);
}

const char* tavuclient_action_name(int32_t action) {
  switch (action) {
    case TAVUCLIENT_ACTION_ADD:
      return "add";
    case TAVUCLIENT_ACTION_REMOVE:
      return "remove";
    case TAVUCLIENT_ACTION_NONE:
      return "none";
    default:
      return "unknown";
  }
}
