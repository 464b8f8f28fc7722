#include "tools/tavumon/tavumon_session.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "client/tavuclient.h"
#include "tools/tavumon/tavumon_format.h"

namespace {

constexpr uint32_t TAVUMON_WRONG_SIGNATURE = 0x87654321u;
// Long enough for the daemon's single receive to take the header alone.
constexpr int TAVUMON_SPLIT_PAUSE_MS = 200;

void tavumonSleepMs(int32_t milliseconds) {
  timespec rest{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&rest, &rest) == -1 && errno == EINTR) {
  }
}

int tavumonFail(const char* what) {
  std::fprintf(stderr, "tavumon: %s: %s\n", what, std::strerror(errno));
  return TAVUMON_EXIT_FAILURE;
}

// A daemon that has gone is the normal end of a session.
bool tavumonDaemonGone(int error) {
  return error == EPIPE || error == ECONNRESET;
}

// The handshake as the daemon must not accept it: header and text apart.
int tavumonSplitHandshake(int fd, int32_t serial) {
  static const char text[] = TAVUCLIENT_HANDSHAKE_TEXT;
  if (tavuclient_send_header(fd, TAVUCLIENT_SIGNATURE, serial, sizeof text) != 0) return -1;
  tavumonSleepMs(TAVUMON_SPLIT_PAUSE_MS);
  if (send(fd, text, sizeof text, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof text)) return -1;
  return tavuclient_receive_handshake_reply(fd, serial);
}

int tavumonSendWrongAck(int fd, const tavuclient_event& event, tavumonWrongAck kind) {
  switch (kind) {
    case tavumonWrongAck::SERIAL:
      return tavuclient_send_header(
          fd, TAVUCLIENT_SIGNATURE,
          static_cast<int32_t>(static_cast<uint32_t>(event.serial_num) - 1u), 0);
    case tavumonWrongAck::LENGTH:
      return tavuclient_send_header(fd, TAVUCLIENT_SIGNATURE, event.serial_num, 1);
    case tavumonWrongAck::SIGNATURE:
      return tavuclient_send_header(fd, TAVUMON_WRONG_SIGNATURE, event.serial_num, 0);
    case tavumonWrongAck::SHORT:
    case tavumonWrongAck::NONE:
      break;
  }
  // Half a header: the daemon's one receive gets 6 bytes.
  unsigned char ack[TAVUCLIENT_HEADER_SIZE];
  const uint32_t signature = TAVUCLIENT_SIGNATURE;
  std::memcpy(ack, &signature, 4);
  std::memcpy(ack + 4, &event.serial_num, 4);
  return send(fd, ack, 6, MSG_NOSIGNAL) == 6 ? 0 : -1;
}

// Acknowledges as the options say; returns tavuclient's 0 or -1.
int tavumonAcknowledge(int fd, const tavuclient_event& event, const tavumonOptions& options) {
  if (options.iv_noAck) return 0;
  if (options.iv_ackDelayMs > 0) tavumonSleepMs(options.iv_ackDelayMs);
  if (options.iv_wrongAck != tavumonWrongAck::NONE) {
    return tavumonSendWrongAck(fd, event, options.iv_wrongAck);
  }
  return tavuclient_acknowledge(fd, &event);
}

void tavumonPrint(const tavuclient_event& event, bool json) {
  const std::string line = json ? tavumonFormatJson(event) : tavumonFormatText(event);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);  // read through pipes, one line at a time
}

// Receives, prints and acknowledges events until the count, the early
// close or the daemon's end.
int tavumonReceiveEvents(int fd, const tavumonOptions& options) {
  tavuclient_event event;
  for (int32_t received = 0; options.iv_count == 0 || received < options.iv_count;) {
    const int rc = tavuclient_receive_event(fd, &event);
    if (rc == 0) return TAVUMON_EXIT_OK;
    if (rc < 0) return tavumonFail("cannot receive an event");
    ++received;
    tavumonPrint(event, options.iv_json);
    if (received == options.iv_closeAfter) return TAVUMON_EXIT_OK;
    if (tavumonAcknowledge(fd, event, options) != 0) {
      if (tavumonDaemonGone(errno)) return TAVUMON_EXIT_OK;
      return tavumonFail("cannot acknowledge an event");
    }
  }
  return TAVUMON_EXIT_OK;
}

}  // namespace

int tavumonRunSession(const tavumonOptions& options) {
  const int fd = tavuclient_connect();
  if (fd == -1) return tavumonFail("cannot connect to the daemon");
  const int handshake = options.iv_handshakeSplit ? tavumonSplitHandshake(fd, options.iv_serial)
                                                  : tavuclient_handshake(fd, options.iv_serial);
  int status;
  if (handshake != 0) {
    status = tavumonFail("handshake refused");
  } else {
    status = tavumonReceiveEvents(fd, options);
  }
  close(fd);
  return status;
}
