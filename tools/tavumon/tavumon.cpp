// tavumon: prints the hot-plug events of the tavunetlink daemon. See
// TAVUMON_USAGE below.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tavuclient.h"
#include "text_format.h"
#include "tool_report.h"

namespace {

enum : int { TAVUMON_EXIT_OK = 0, TAVUMON_EXIT_FAILURE = 1, TAVUMON_EXIT_USAGE = 2 };

constexpr char TAVUMON_USAGE[] = R"(Usage: tavumon [OPTION]...
Prints each hot-plug event the tavunetlink daemon delivers, one line each,
and acknowledges it.

  --serial N   handshake serial number; the first event carries N+1 (default 0)
  --count N    stop after N events (N >= 1)
  --json       one JSON object per line instead of text
  -h, --help   print this text and exit

Exit status:
  0  the events asked for arrived, or the daemon went away
  1  connection or protocol error
  2  bad usage
)";

struct tavumonOptions {
  int32_t iv_serial = 0;  // the first event carries one more
  int32_t iv_count = 0;   // stop after this many events; 0: no limit
  int iv_json = 0;        // a flag, as getopt_long sets it
};

// A whole decimal word within [low, 2^31 - 1]; strtoll's own range is wider.
bool tavumonParseNumber(const char* word, int32_t low, int32_t* value) {
  char* end = nullptr;
  const long long number = std::strtoll(word, &end, 10);
  if (end == word || *end != '\0' || number < low || number > INT32_MAX) return false;
  *value = static_cast<int32_t>(number);
  return true;
}

// Returns -1 when the options are good, else the exit status.
int tavumonParseOptions(int argc, char** argv, tavumonOptions* options) {
  const option longOptions[] = {{"serial", required_argument, nullptr, 's'},
                                {"count", required_argument, nullptr, 'c'},
                                {"json", no_argument, &options->iv_json, 1},
                                {"help", no_argument, nullptr, 'h'},
                                {nullptr, 0, nullptr, 0}};
  for (int c; (c = getopt_long(argc, argv, ":h", longOptions, nullptr)) != -1;) {
    switch (c) {
      case 0:  // a flag, set
        break;
      case 's':
        if (!tavumonParseNumber(optarg, INT32_MIN, &options->iv_serial)) {
          return tavuFail(TAVUMON_EXIT_USAGE, "bad value '%s' for --serial (try --help)", optarg);
        }
        break;
      case 'c':
        if (!tavumonParseNumber(optarg, 1, &options->iv_count)) {
          return tavuFail(TAVUMON_EXIT_USAGE, "bad value '%s' for --count (try --help)", optarg);
        }
        break;
      case 'h':
        std::fputs(TAVUMON_USAGE, stdout);
        return TAVUMON_EXIT_OK;
      case ':':
        return tavuFail(TAVUMON_EXIT_USAGE, "%s needs a value (try --help)", argv[optind - 1]);
      default:
        return tavuFail(TAVUMON_EXIT_USAGE, "unknown option %s (try --help)", argv[optind - 1]);
    }
  }
  if (optind < argc) {
    return tavuFail(TAVUMON_EXIT_USAGE, "unexpected argument '%s' (try --help)", argv[optind]);
  }
  return -1;
}

// One line of text or JSON; an action code the daemon never sends shows as
// its number.
void tavumonPrintEvent(const tavuclient_event& event, bool json) {
  const std::string name = tavuclient_action_name(event.action);
  const std::string action = name == "unknown" ? std::to_string(event.action) : name;
  if (json) {
    std::printf(
        "{\"serial\":%d,\"time\":%d,\"action\":%s,\"action_code\":%d,\"seq\":%d,"
        "\"link\":%d,\"tlor\":%d,\"path\":%s,\"type\":%s}\n",
        event.serial_num, event.time, tavuJsonString(action).c_str(), event.action, event.seq,
        event.link, event.tlor, tavuJsonString(event.path).c_str(),
        tavuJsonString(event.type).c_str());
  } else {
    std::printf("time=%s action=%s seq=%d link=%d tlor=%d path=%s type=%s serial=%d\n",
                tavuUtcTime(event.time).c_str(), action.c_str(), event.seq, event.link, event.tlor,
                tavuEscapeText(event.path, true).c_str(), tavuEscapeText(event.type, true).c_str(),
                event.serial_num);
  }
  std::fflush(stdout);  // read through pipes, one line at a time
}

// Until the count or the daemon's end, which is the normal end of a session.
int tavumonReceiveEvents(int fd, const tavumonOptions& options) {
  tavuclient_event event;
  for (int32_t received = 0; options.iv_count == 0 || received < options.iv_count; ++received) {
    const int rc = tavuclient_receive_event(fd, &event);
    if (rc == 0) return TAVUMON_EXIT_OK;
    if (rc < 0) return tavuFail(TAVUMON_EXIT_FAILURE, "cannot receive an event: %m");
    tavumonPrintEvent(event, options.iv_json);
    if (tavuclient_acknowledge(fd, &event) == 0) continue;
    if (errno == EPIPE || errno == ECONNRESET) return TAVUMON_EXIT_OK;
    return tavuFail(TAVUMON_EXIT_FAILURE, "cannot acknowledge an event: %m");
  }
  return TAVUMON_EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
  tavumonOptions options;
  const int usage = tavumonParseOptions(argc, argv, &options);
  if (usage >= 0) return usage;
  const int fd = tavuclient_connect();
  if (fd == -1) return tavuFail(TAVUMON_EXIT_FAILURE, "cannot connect to the daemon: %m");
  const int status = tavuclient_handshake(fd, options.iv_serial) == 0
                         ? tavumonReceiveEvents(fd, options)
                         : tavuFail(TAVUMON_EXIT_FAILURE, "handshake refused: %m");
  close(fd);
  return status;
}
