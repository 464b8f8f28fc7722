/*
 * tavuclient: the client side of the tavunetlink socket. See tavuclient.h
 * for the protocol; this file is meant to be read and copied.
 */
#define _GNU_SOURCE /* SOCK_CLOEXEC and MSG_NOSIGNAL */

#include "client/tavuclient.h"

#include <errno.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

/* ---- Byte images ---------------------------------------------------- */

/* Numbers travel as they lie in memory; memcpy copes with any alignment. */
static void put_int32(unsigned char* out, int32_t value) {
  memcpy(out, &value, 4);
}

static int32_t get_int32(const unsigned char* in) {
  int32_t value;
  memcpy(&value, in, 4);
  return value;
}

struct header {
  uint32_t signature;
  int32_t serial_num;
  int32_t payload_length;
};

static void put_header(unsigned char* out, uint32_t signature, int32_t serial_num,
                       int32_t payload_length) {
  memcpy(out, &signature, 4);
  put_int32(out + 4, serial_num);
  put_int32(out + 8, payload_length);
}

static struct header get_header(const unsigned char* in) {
  struct header header;
  memcpy(&header.signature, in, 4);
  header.serial_num = get_int32(in + 4);
  header.payload_length = get_int32(in + 8);
  return header;
}

static int fail(int error) {
  errno = error;
  return -1;
}

/* ---- Socket input and output --------------------------------------- */

/* The daemon reads each message with a single receive call, so every
 * message must go out in one send. */
static int send_message(int fd, const unsigned char* message, size_t size) {
  ssize_t sent;
  do {
    sent = send(fd, message, size, MSG_NOSIGNAL);
  } while (sent == -1 && errno == EINTR);
  if (sent == -1) return -1;
  if ((size_t)sent != size) return fail(EIO);
  return 0;
}

/* A stream may deliver a message in pieces: read until `size` bytes are
 * in or the stream ends. Returns the count read (less than `size` only
 * when the stream ended), or -1 with errno. A reset counts as an end: it
 * is how a daemon that exits with our bytes still unread says goodbye. */
static ssize_t receive_fully(int fd, unsigned char* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
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

/* An abstract name has no owner: whoever listens first holds it. Only a
 * socket whose listener runs as root, or as a uid of the build's
 * TAVU_DAEMON_UIDS, is the daemon's. */
static int daemon_trusted(int fd) {
  static const uid_t trusted[] = {0, TAVU_DAEMON_UIDS};
  struct ucred peer;
  socklen_t length = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return 0;
  for (size_t i = 0; i < sizeof trusted / sizeof trusted[0]; ++i) {
    if (peer.uid == trusted[i]) return 1;
  }
  return 0;
}

int tavuclient_connect(void) {
  /* The daemon's name is all 108 path bytes: a NUL (the abstract
   * namespace), the name, and NULs to the end. The length must be the
   * whole structure, or the kernel looks up a different name. */
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path + 1, TAVUCLIENT_SOCKET_NAME, strlen(TAVUCLIENT_SOCKET_NAME));

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return -1;
  int error = connect(fd, (const struct sockaddr*)&address, sizeof address) != 0 ? errno : 0;
  if (error == 0 && !daemon_trusted(fd)) error = EPERM;
  if (error == 0) return fd;
  close(fd);
  return fail(error);
}

/* Reads the daemon's 12-byte reply to the handshake and checks it. */
static int receive_handshake_reply(int fd, int32_t serial_num) {
  unsigned char reply[TAVUCLIENT_HEADER_SIZE];
  ssize_t received = receive_fully(fd, reply, sizeof reply);
  if (received == -1) return -1;
  /* A daemon that rejects the handshake reports it and ends at once. */
  if (received == 0) return fail(ECONNRESET);
  if (received < (ssize_t)sizeof reply) return fail(EPROTO);

  struct header header = get_header(reply);
  if (header.signature != TAVUCLIENT_SIGNATURE || header.serial_num != serial_num ||
      header.payload_length != 0) {
    return fail(EPROTO);
  }
  return 0;
}

int tavuclient_handshake(int fd, int32_t serial_num) {
  static const char text[] = TAVUCLIENT_HANDSHAKE_TEXT; /* sent with its NUL */
  unsigned char message[TAVUCLIENT_HEADER_SIZE + sizeof text];
  put_header(message, TAVUCLIENT_SIGNATURE, serial_num, (int32_t)sizeof text);
  memcpy(message + TAVUCLIENT_HEADER_SIZE, text, sizeof text);
  if (send_message(fd, message, sizeof message) != 0) return -1;
  return receive_handshake_reply(fd, serial_num);
}

/* ---- Events --------------------------------------------------------- */

/* Decodes a whole payload of `size` bytes (checked to lie between the
 * minimum and maximum). The path text must end inside the payload and the
 * type text must end exactly at its last byte. Writes *event only when
 * every check has passed. */
static int decode_payload(const unsigned char* payload, size_t size,
                          struct tavuclient_event* event) {
  const unsigned char* texts = payload + TAVUCLIENT_NUMBERS_SIZE;
  size_t texts_size = size - TAVUCLIENT_NUMBERS_SIZE; /* both texts with their NULs */

  const unsigned char* path_nul = memchr(texts, '\0', texts_size);
  if (path_nul == NULL) return fail(EPROTO);
  size_t path_size = (size_t)(path_nul - texts) + 1;
  size_t type_size = texts_size - path_size;
  if (type_size == 0) return fail(EPROTO);
  if (memchr(texts + path_size, '\0', type_size) != texts + texts_size - 1) return fail(EPROTO);
  if (path_size > TAVUCLIENT_TEXT_MAX || type_size > TAVUCLIENT_TEXT_MAX) return fail(EPROTO);

  event->time = get_int32(payload + 0);
  event->action = get_int32(payload + 4);
  event->seq = get_int32(payload + 8);
  event->link = get_int32(payload + 12);
  event->tlor = get_int32(payload + 16);
  memcpy(event->path, texts, path_size);
  memcpy(event->type, texts + path_size, type_size);
  return 0;
}

int tavuclient_receive_event(int fd, struct tavuclient_event* event) {
  unsigned char head[TAVUCLIENT_HEADER_SIZE];
  ssize_t received = receive_fully(fd, head, sizeof head);
  if (received == -1) return -1;
  if (received == 0) return 0; /* the daemon has gone */
  if (received < (ssize_t)sizeof head) return fail(EPROTO);

  /* Check the sizes before reading on: a bad length must not make us
   * wait for bytes that will never come, or overrun the buffer. */
  struct header header = get_header(head);
  if (header.signature != TAVUCLIENT_SIGNATURE || header.payload_length < TAVUCLIENT_PAYLOAD_MIN ||
      header.payload_length > TAVUCLIENT_PAYLOAD_MAX) {
    return fail(EPROTO);
  }

  unsigned char payload[TAVUCLIENT_PAYLOAD_MAX];
  size_t size = (size_t)header.payload_length;
  received = receive_fully(fd, payload, size);
  if (received == -1) return -1;
  if ((size_t)received < size) return fail(EPROTO); /* cut off in the middle */

  if (decode_payload(payload, size, event) != 0) return -1;
  event->serial_num = header.serial_num;
  return 1;
}

/* One bare header in one write: an acknowledgment is exactly that. */
static int send_header(int fd, uint32_t signature, int32_t serial_num, int32_t payload_length) {
  unsigned char message[TAVUCLIENT_HEADER_SIZE];
  put_header(message, signature, serial_num, payload_length);
  return send_message(fd, message, sizeof message);
}

int tavuclient_acknowledge(int fd, const struct tavuclient_event* event) {
  return send_header(fd, TAVUCLIENT_SIGNATURE, event->serial_num, 0);
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
