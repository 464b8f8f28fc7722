// tavumon: prints the hot-plug events of the tavunetlink daemon, as a
// client of it built on the client library.
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "tavuclient.h"
#include "text_format.h"
#include "tool_options.h"

namespace {

enum : int { TAVU_MON_OK = 0, TAVU_MON_FAILED = 1 };

// The daemon serves one client for its whole life: a client refused for
// that can only wait for a new daemon.
constexpr char TAVU_RESTART[] =
    "it serves one client for its whole life, and another has or had it; restart it "
    "(systemctl restart tavunetlink, or /etc/init.d/tavunetlink restart)";

struct tavuMonOptions {
  int32_t iv_serial = 0;  // the first event carries one more
  int32_t iv_count = 0;   // stop after this many events; 0: no limit
  bool iv_json = false;
  double iv_timeout = TAVUCLIENT_HANDSHAKE_TIMEOUT_MS / 1000.0;
};

int tavuParseOptions(int argc, char** argv, tavuMonOptions* options) {
  return tavuParseCommandLine(
      argc, argv,
      {"Usage: tavumon [OPTION]...\nPrints each hot-plug event the tavunetlink daemon delivers, one "
       "line each,\nand acknowledges it.\n\n",
       {{"serial", 0, "N", "a 32-bit number",
         "handshake serial number; the first event carries N+1 (default 0)",
         tavuTakeWhole(&options->iv_serial, INT32_MIN, INT32_MAX)},
        {"count", 0, "N", "a whole number from 1", "stop after N events (N >= 1)",
         tavuTakeWhole(&options->iv_count, 1, INT32_MAX)},
        {"json", 0, nullptr, nullptr, "one JSON object per line instead of text",
         tavuTakeFlag(&options->iv_json)},
        {"timeout", 0, "SECONDS", "seconds above 0",
         "wait at most this long for the daemon's answer to the\nhandshake (default 5)",
         tavuTakeReal(&options->iv_timeout, 0, INT32_MAX / 1000)}},
       "Exit status:\n  0  the events asked for arrived, or the daemon went away\n  1  connection "
       "or protocol error, or no answer in time\n  2  bad usage\n"},
      0, nullptr);
}

// Why the daemon cannot be had, in one line, errno saying what went wrong.
// Only a listener that the kernel names, and so one this client trusts, is
// to be restarted.
int tavuConnectFailure() {
  const int failure = errno;
  uid_t uid = 0;
  const bool named = failure != ECONNREFUSED && tavuclient_listener_uid(&uid) == 0;
  if (failure == EAGAIN && named)
    return tavuPrintError(TAVU_MON_FAILED, "the daemon takes no more clients: %s", TAVU_RESTART);
  std::string why = std::strerror(failure);
  if (failure == ECONNREFUSED) why += "; is the daemon running (in this network namespace)?";
  if (failure == EAGAIN) why = "the process that holds its socket name takes no more connections";
  if (failure == EPERM) {
    why = named ? tavuFormat(
                      "its socket name is held by a process of uid %u, not a daemon this "
                      "client trusts",
                      static_cast<unsigned>(uid))
                : "its socket name is held by a process this client does not trust";
  }
  if ((failure == EAGAIN || failure == EPERM) && !named)
    why += ", and this kernel does not tell its uid (ss -xlp does)";
  return tavuPrintError(TAVU_MON_FAILED, "cannot connect to the daemon: %s", why.c_str());
}

int tavuHandshakeFailure(double timeout) {
  if (errno == ETIMEDOUT) {
    return tavuPrintError(TAVU_MON_FAILED,
                          "the daemon did not answer the handshake within %g s: %s", timeout,
                          TAVU_RESTART);
  }
  if (errno == EACCES) {
    return tavuPrintError(TAVU_MON_FAILED,
                          "the daemon refused this client: uid %u is not allowed by the daemon's "
                          "build (TAVU_CLIENT_UIDS)",
                          static_cast<unsigned>(getuid()));
  }
  return tavuPrintError(TAVU_MON_FAILED, "handshake failed: %m");
}

// One line of text or JSON; an action code the daemon never sends shows as
// its number.
void tavuPrintEvent(const tavuclient_event& event, bool json) {
  const std::string name = tavuclient_action_name(event.action);
  const std::string action = name == "unknown" ? std::to_string(event.action) : name;
  const std::string time = tavuUtcTime(event.time);
  if (json) {
    std::printf(
        "{\"serial\":%d,\"time\":\"%s\",\"action\":%s,\"action_code\":%d,\"seq\":%d,"
        "\"link\":%d,\"tlor\":%d,\"path\":%s,\"type\":%s}\n",
        event.serial_num, time.c_str(), tavuJsonString(action).c_str(), event.action, event.seq,
        event.link, event.tlor, tavuJsonString(event.path).c_str(),
        tavuJsonString(event.type).c_str());
  } else {
    std::printf("time=%s action=%s seq=%d link=%d tlor=%d path=%s type=%s serial=%d\n",
                time.c_str(), action.c_str(), event.seq, event.link, event.tlor,
                tavuEscapeText(event.path, TAVU_ESCAPE_WORD).c_str(),
                tavuEscapeText(event.type, TAVU_ESCAPE_WORD).c_str(), event.serial_num);
  }
  std::fflush(stdout);  // read through pipes, one line at a time
}

// Until the count or the daemon's end, which is the normal end of a session.
int tavuReceiveEvents(int fd, const tavuMonOptions& options) {
  tavuclient_event event;
  for (int32_t received = 0; options.iv_count == 0 || received < options.iv_count; ++received) {
    const int rc = tavuclient_receive_event(fd, &event);
    if (rc == 0) return TAVU_MON_OK;
    if (rc < 0) return tavuPrintError(TAVU_MON_FAILED, "cannot receive an event: %m");
    tavuPrintEvent(event, options.iv_json);
    if (tavuclient_acknowledge(fd, &event) == 0) continue;
    if (errno == EPIPE || errno == ECONNRESET) return TAVU_MON_OK;
    return tavuPrintError(TAVU_MON_FAILED, "cannot acknowledge an event: %m");
  }
  return TAVU_MON_OK;
}

// Connects, does the handshake and receives until the end.
int tavuMonitor(const tavuMonOptions& options) {
  const int fd = tavuclient_connect();
  if (fd == -1) return tavuConnectFailure();
  const int timeoutMs = static_cast<int>(std::ceil(options.iv_timeout * 1000));
  const int status = tavuclient_handshake_within(fd, options.iv_serial, timeoutMs) == 0
                         ? tavuReceiveEvents(fd, options)
                         : tavuHandshakeFailure(options.iv_timeout);
  close(fd);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  tavuMonOptions options;
  const int usage = tavuParseOptions(argc, argv, &options);
  return usage != TAVU_OPTIONS_GOOD ? usage : tavuMonitor(options);
}
