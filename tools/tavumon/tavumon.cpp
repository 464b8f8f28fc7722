// tavumon: prints the hot-plug events of the tavunetlink daemon. See
// TAVUMON_USAGE below.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/tavuclient.h"
#include "tools/common/text_format.h"

namespace {

enum : int { TAVUMON_EXIT_OK = 0, TAVUMON_EXIT_FAILURE = 1, TAVUMON_EXIT_USAGE = 2 };

constexpr char TAVUMON_USAGE[] =
    "Usage: tavumon [OPTION]...\n"
    "Connects to the tavunetlink daemon, completes the handshake, and prints each\n"
    "hot-plug event the daemon delivers, one line per event, acknowledging each.\n"
    "\n"
    "  --serial N         handshake serial number; the first event carries N+1\n"
    "                     (default 0; any 32-bit number, negative ones too)\n"
    "  --count N          stop after N events (N >= 1)\n"
    "  --json             print one JSON object per line instead of text\n"
    "  -h, --help         print this text and exit\n"
    "\n"
    "Each line reads\n"
    "  time=2026-01-31T12:00:00Z action=add seq=812 link=0 tlor=0 "
    "path=/class/uart/ttyS1 type=uart serial=1\n"
    "with the action add, remove or none, and bytes outside printable ASCII in\n"
    "the texts written as \\xNN. With --json:\n"
    "  {\"serial\":1,\"time\":1769860800,\"action\":\"add\",\"action_code\":1,\"seq\":812,\n"
    "   \"link\":0,\"tlor\":0,\"path\":\"/class/uart/ttyS1\",\"type\":\"uart\"}\n"
    "Output is flushed after every line.\n"
    "\n"
    "Exit status:\n"
    "  0  done: the requested events arrived, or the daemon went away\n"
    "  1  connection or protocol error (no daemon, handshake refused,\n"
    "     malformed message)\n"
    "  2  bad usage\n";

struct tavumonOptions {
  int32_t iv_serial = 0;  // the first event carries one more
  int32_t iv_count = 0;   // stop after this many events; 0: no limit
  bool iv_json = false;
};

int tavumonBadUsage(const std::string& what) {
  std::fprintf(stderr, "tavumon: %s (try --help)\n", what.c_str());
  return TAVUMON_EXIT_USAGE;
}

// A whole decimal word within [low, 2^31 - 1].
bool tavumonParseNumber(const char* word, int32_t low, int32_t* value) {
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(word, &end, 10);
  if (errno != 0 || end == word || *end != '\0' || number < low || number > INT32_MAX) {
    return false;
  }
  *value = static_cast<int32_t>(number);
  return true;
}

// Returns -1 when the options are good, else the exit status.
int tavumonParseOptions(int argc, char** argv, tavumonOptions* options) {
  static const option longOptions[] = {{"serial", required_argument, nullptr, 's'},
                                       {"count", required_argument, nullptr, 'c'},
                                       {"json", no_argument, nullptr, 'j'},
                                       {"help", no_argument, nullptr, 'h'},
                                       {nullptr, 0, nullptr, 0}};
  for (int c; (c = getopt_long(argc, argv, ":h", longOptions, nullptr)) != -1;) {
    switch (c) {
      case 's':
        if (!tavumonParseNumber(optarg, INT32_MIN, &options->iv_serial)) {
          return tavumonBadUsage("bad value '" + std::string(optarg) + "' for --serial");
        }
        break;
      case 'c':
        if (!tavumonParseNumber(optarg, 1, &options->iv_count)) {
          return tavumonBadUsage("bad value '" + std::string(optarg) + "' for --count");
        }
        break;
      case 'j':
        options->iv_json = true;
        break;
      case 'h':
        std::fputs(TAVUMON_USAGE, stdout);
        return TAVUMON_EXIT_OK;
      case ':':
        return tavumonBadUsage(std::string(argv[optind - 1]) + " needs a value");
      default:
        return tavumonBadUsage(std::string("unknown option ") + argv[optind - 1]);
    }
  }
  if (optind < argc)
    return tavumonBadUsage("unexpected argument '" + std::string(argv[optind]) + "'");
  return -1;
}

// A code the daemon never sends shows as its number.
std::string tavumonActionText(int32_t action) {
  const std::string name = tavuclient_action_name(action);
  return name == "unknown" ? std::to_string(action) : name;
}

std::string tavumonFormatText(const tavuclient_event& event) {
  return "time=" + tavuUtcTime(event.time) + " action=" + tavumonActionText(event.action) +
         " seq=" + std::to_string(event.seq) + " link=" + std::to_string(event.link) +
         " tlor=" + std::to_string(event.tlor) + " path=" + tavuEscapeText(event.path, true) +
         " type=" + tavuEscapeText(event.type, true) +
         " serial=" + std::to_string(event.serial_num);
}

std::string tavumonFormatJson(const tavuclient_event& event) {
  return "{\"serial\":" + std::to_string(event.serial_num) +
         ",\"time\":" + std::to_string(event.time) +
         ",\"action\":" + tavuJsonString(tavumonActionText(event.action)) +
         ",\"action_code\":" + std::to_string(event.action) +
         ",\"seq\":" + std::to_string(event.seq) + ",\"link\":" + std::to_string(event.link) +
         ",\"tlor\":" + std::to_string(event.tlor) + ",\"path\":" + tavuJsonString(event.path) +
         ",\"type\":" + tavuJsonString(event.type) + "}";
}

int tavumonFail(const char* what) {
  std::fprintf(stderr, "tavumon: %s: %s\n", what, std::strerror(errno));
  return TAVUMON_EXIT_FAILURE;
}

// Until the count or the daemon's end, which is the normal end of a session.
int tavumonReceiveEvents(int fd, const tavumonOptions& options) {
  tavuclient_event event;
  for (int32_t received = 0; options.iv_count == 0 || received < options.iv_count; ++received) {
    const int rc = tavuclient_receive_event(fd, &event);
    if (rc == 0) return TAVUMON_EXIT_OK;
    if (rc < 0) return tavumonFail("cannot receive an event");
    const std::string line = options.iv_json ? tavumonFormatJson(event) : tavumonFormatText(event);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);  // read through pipes, one line at a time
    if (tavuclient_acknowledge(fd, &event) == 0) continue;
    if (errno == EPIPE || errno == ECONNRESET) return TAVUMON_EXIT_OK;
    return tavumonFail("cannot acknowledge an event");
  }
  return TAVUMON_EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
  tavumonOptions options;
  const int usage = tavumonParseOptions(argc, argv, &options);
  if (usage >= 0) return usage;
  const int fd = tavuclient_connect();
  if (fd == -1) return tavumonFail("cannot connect to the daemon");
  const int status = tavuclient_handshake(fd, options.iv_serial) == 0
                         ? tavumonReceiveEvents(fd, options)
                         : tavumonFail("handshake refused");
  close(fd);
  return status;
}
