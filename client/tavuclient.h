/*
 * tavuclient: receive the hot-plug events of the tavunetlink daemon.
 *
 * The daemon serves one client for its whole life, over the abstract
 * Unix-domain stream socket "tavunetlinksocket". A client connects, sends
 * a handshake that chooses where serial numbers start, and then receives
 * one event message at a time; the daemon sends the next event only after
 * the client has acknowledged the previous one.
 *
 *     int fd = tavuclient_connect();
 *     tavuclient_handshake(fd, 0);            the first event carries serial 1;
 *                                             fails within 5 s if no answer
 *     struct tavuclient_event event;
 *     while (tavuclient_receive_event(fd, &event) == 1) {
 *         printf("%s %s\n", tavuclient_action_name(event.action), event.path);
 *         tavuclient_acknowledge(fd, &event);
 *     }
 *     close(fd);                              0: the daemon has gone
 *
 * Wire format. Every number is a 32-bit integer in host byte order (the
 * daemon runs on the same machine); nothing is padded or aligned.
 *
 *     header        signature 0x12345678 | serial number | payload length
 *     handshake     header (payload length 17), "ready to receive\0"
 *     reply         header with the handshake's serial number, length 0
 *     refusal       header with the refused uid as serial number, length
 *                   -1, sent instead of a reply to a client of a uid the
 *                   daemon does not serve; the daemon then hangs up
 *     event         header, then the payload:
 *                   time | action | seq | link | tlor | path\0 | type\0
 *     acknowledge   header with the event's serial number, length 0
 *
 * Every function returns -1 with errno set when it fails; errno EPROTO
 * means the peer broke the format, and the connection is then of no more
 * use. Only the handshake waits for a bounded time. Nothing here keeps state between calls, starts
 * a thread or touches signals: writes use MSG_NOSIGNAL, so a daemon that has gone gives EPIPE
 * instead of SIGPIPE.
 */
#ifndef TAVUCLIENT_H
#define TAVUCLIENT_H

#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TAVUCLIENT_SIGNATURE 0x12345678u
#define TAVUCLIENT_SOCKET_NAME "tavunetlinksocket"
#define TAVUCLIENT_HANDSHAKE_TEXT "ready to receive" /* sent with its NUL */
#define TAVUCLIENT_HEADER_SIZE 12
#define TAVUCLIENT_HANDSHAKE_SIZE (TAVUCLIENT_HEADER_SIZE + sizeof TAVUCLIENT_HANDSHAKE_TEXT)
#define TAVUCLIENT_REFUSED (-1) /* the payload length of a refusal */

/* How long tavuclient_handshake waits for the daemon's answer. */
#define TAVUCLIENT_HANDSHAKE_TIMEOUT_MS 5000

/* A text and its NUL. The daemon reads uevents of at most 4096 bytes, so
 * neither the device path nor the type can be longer. */
#define TAVUCLIENT_TEXT_MAX 4096

/* The payload: five numbers (time, action, seq, link, tlor), then two
 * texts, each at least its NUL. */
#define TAVUCLIENT_NUMBERS_SIZE 20
#define TAVUCLIENT_PAYLOAD_MIN (TAVUCLIENT_NUMBERS_SIZE + 2)
#define TAVUCLIENT_PAYLOAD_MAX (TAVUCLIENT_NUMBERS_SIZE + 2 * TAVUCLIENT_TEXT_MAX)

/* The event's action, as the daemon sends it. */
#define TAVUCLIENT_ACTION_NONE 0 /* the uevent carried no ACTION= key */
#define TAVUCLIENT_ACTION_ADD 1
#define TAVUCLIENT_ACTION_REMOVE 2

/* One hot-plug event, decoded. A plain value: copy it as you like. */
struct tavuclient_event {
  int32_t serial_num;             /* the message's number; the acknowledgment echoes it */
  int32_t time;                   /* seconds since the epoch when the daemon saw it */
  int32_t action;                 /* TAVUCLIENT_ACTION_* */
  int32_t seq;                    /* the kernel's SEQNUM, 0 when it gave none */
  int32_t link;                   /* the uevent's LINK=, 0 when absent */
  int32_t tlor;                   /* the uevent's TLOR=, 0 when absent */
  char path[TAVUCLIENT_TEXT_MAX]; /* the kernel's device path (DEVPATH) */
  char type[TAVUCLIENT_TEXT_MAX]; /* the device type, e.g. "uart" */
};

/* Connects to the daemon. Returns the connected socket (close it when
 * done), or -1 with errno set: ECONNREFUSED when no daemon listens; EPERM
 * when the socket's listener runs as a user this library does not trust
 * (it trusts root, and the uids of the build's TAVU_DAEMON_UIDS), see
 * tavuclient_listener_uid; EAGAIN when the daemon takes no more
 * connections, because it serves another client. The listener's owner is
 * asked of the kernel's Unix socket diagnostics first, so that one not
 * trusted is refused without a connection, every time; on a kernel that
 * does not tell it (before Linux 5.3, or without unix_diag), the
 * connection's own credentials refuse it, and a listener that takes no
 * more connections gives EAGAIN whoever it is. */
int tavuclient_connect(void);

/* Sends the handshake and checks the daemon's reply. The first event will
 * carry serial_num + 1 (wrapping at 32 bits). Returns 0, or -1 with errno:
 * ETIMEDOUT when the daemon has not answered within
 * TAVUCLIENT_HANDSHAKE_TIMEOUT_MS (it serves one client for its whole
 * life: another has it, or had it); EACCES when the daemon refused this
 * client, whose uid it does not serve; ECONNRESET when the daemon refused
 * the handshake and went away; EPROTO when the reply is not the expected
 * one. */
int tavuclient_handshake(int fd, int32_t serial_num);

/* The same, waiting at most timeout_ms for the answer (-1: for ever). */
int tavuclient_handshake_within(int fd, int32_t serial_num, int timeout_ms);

/* The uid of the process that listens on the daemon's socket name, whoever
 * it is: to tell who holds the name when tavuclient_connect gives EPERM or
 * EAGAIN. The kernel's Unix socket diagnostics tell it without connecting;
 * where they do not, a connection's credentials. Returns 0, or -1 with
 * errno: ECONNREFUSED when no process listens; EAGAIN when the kernel does
 * not tell and the listener takes no more connections. */
int tavuclient_listener_uid(uid_t* uid);

/* Waits for the next event and decodes it into *event. Returns 1 for an
 * event, 0 when the daemon has gone (the connection ended between two
 * messages), or -1 with errno: EPROTO for a malformed or truncated message.
 * On any result but 1, *event is left as it was. */
int tavuclient_receive_event(int fd, struct tavuclient_event* event);

/* Acknowledges the event, so that the daemon sends the next one.
 * Returns 0, or -1 with errno (EPIPE when the daemon has gone). */
int tavuclient_acknowledge(int fd, const struct tavuclient_event* event);

/* "add", "remove", "none", or "unknown" for a code the daemon never sends. */
const char* tavuclient_action_name(int32_t action);

#ifdef __cplusplus
}
#endif

#endif
