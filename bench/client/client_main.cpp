// tavubench-client: the benchmark's client of the daemon, built on the
// client library. Acknowledges every event at once and logs when each
// arrived, for the driver to read while it runs.
#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/common/arrival_log.h"
#include "bench/common/bench_clock.h"
#include "client/tavuclient.h"

namespace {

const char TAVU_CLIENT_USAGE[] =
    R"(Usage: tavubench-client --log FILE [--capacity N] [--connect-timeout S]

Connects to the tavunetlink daemon, completes the handshake, and then
acknowledges every event as soon as it has arrived. For each event it
appends to FILE (a memory-mapped log that the benchmark driver reads while
the client runs) the event's SEQNUM and action, the CLOCK_MONOTONIC time of
its arrival and that of its acknowledgment.

  --log FILE            the arrival log to create
  --capacity N          room for N events (default 1000000); the client
                        ends when the log is full
  --connect-timeout S   keep trying to connect for S seconds (default 10)
  -h, --help            this text

Exit status: 0 the daemon went away or the log is full; 1 could not
connect, or the daemon broke the protocol; 2 bad usage.
)";

struct tavuClientOptions {
  std::string log;
  uint32_t capacity = 1000000;
  double connectTimeout = 10;
};

// Returns -1 to go on, else the exit status.
int tavuClientParseArgs(int argc, char** argv, tavuClientOptions* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "-h" || word == "--help") {
      std::fputs(TAVU_CLIENT_USAGE, stdout);
      return 0;
    }
    const bool hasValue = i + 1 < argc;
    char* end = nullptr;
    if (word == "--log" && hasValue) {
      options->log = argv[++i];
    } else if (word == "--capacity" && hasValue) {
      const unsigned long value = std::strtoul(argv[++i], &end, 10);
      if (*end != '\0' || value == 0 || value > 100000000) {
        std::fprintf(stderr, "tavubench-client: bad --capacity '%s'\n", argv[i]);
        return 2;
      }
      options->capacity = static_cast<uint32_t>(value);
    } else if (word == "--connect-timeout" && hasValue) {
      options->connectTimeout = std::strtod(argv[++i], &end);
      if (*end != '\0' || options->connectTimeout < 0) {
        std::fprintf(stderr, "tavubench-client: bad --connect-timeout '%s'\n", argv[i]);
        return 2;
      }
    } else {
      std::fprintf(stderr, "tavubench-client: unknown argument '%s' (try --help)\n", argv[i]);
      return 2;
    }
  }
  if (options->log.empty()) {
    std::fprintf(stderr, "tavubench-client: --log FILE is required (try --help)\n");
    return 2;
  }
  return -1;
}

// The daemon listens only once its reader and worker run: retry a refusal.
int tavuClientConnect(double timeoutSeconds) {
  const uint64_t deadline = tavuBenchNowNs() + static_cast<uint64_t>(timeoutSeconds * 1e9);
  for (;;) {
    const int fd = tavuclient_connect();
    if (fd >= 0 || errno != ECONNREFUSED || tavuBenchNowNs() >= deadline) return fd;
    usleep(2000);
  }
}

// Receives and acknowledges until the daemon goes or the log fills.
int tavuClientServe(int fd, tavuArrivalLog* log) {
  tavuclient_event event;
  for (;;) {
    const int got = tavuclient_receive_event(fd, &event);
    const uint64_t arrival = tavuBenchNowNs();
    if (got == 0) return 0;
    if (got < 0) {
      std::fprintf(stderr, "tavubench-client: receive failed: %s\n", std::strerror(errno));
      return 1;
    }
    if (tavuclient_acknowledge(fd, &event) != 0) {
      std::fprintf(stderr, "tavubench-client: acknowledgment failed: %s\n", std::strerror(errno));
      return 1;
    }
    if (!log->append({event.seq, event.action, arrival, tavuBenchNowNs()})) return 0;
  }
}

}  // namespace

int main(int argc, char** argv) {
  tavuClientOptions options;
  const int status = tavuClientParseArgs(argc, argv, &options);
  if (status >= 0) return status;
  tavuArrivalLog log;
  if (!log.create(options.log, options.capacity)) {
    std::fprintf(stderr, "tavubench-client: cannot create %s: %s\n", options.log.c_str(),
                 std::strerror(errno));
    return 1;
  }
  const int fd = tavuClientConnect(options.connectTimeout);
  if (fd < 0 || tavuclient_handshake(fd, 0) != 0) {
    std::fprintf(stderr, "tavubench-client: cannot reach the daemon: %s\n", std::strerror(errno));
    log.setState(TAVU_CLIENT_FAILED);
    return 1;
  }
  log.setState(TAVU_CLIENT_CONNECTED);
  const int result = tavuClientServe(fd, &log);
  close(fd);
  log.setState(result == 0 ? TAVU_CLIENT_ENDED : TAVU_CLIENT_FAILED);
  return result;
}
