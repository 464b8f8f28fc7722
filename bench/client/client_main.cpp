// tavubench-client: the benchmark's client of the daemon, on the client
// library. See --help.
#include <errno.h>
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "arrivals.h"
#include "tavuclient.h"

namespace {

const char TAVU_CLIENT_USAGE[] = R"(Usage: tavubench-client --log FILE

Acknowledges every event of tavunetlink at once, and appends to FILE, made by
tavubench, each one's SEQNUM, action and times of arrival and acknowledgment.
Exit status: 0 the daemon went away; 1 no connection or a protocol error.
)";

constexpr uint64_t TAVU_CONNECT_TIMEOUT_NS = 10000000000u;

// The daemon listens only once its reader and worker run: a refusal is retried.
int tavuConnectSoon() {
  const uint64_t deadline = tavuBenchNowNs() + TAVU_CONNECT_TIMEOUT_NS;
  int fd = tavuclient_connect();
  for (; fd < 0 && errno == ECONNREFUSED && tavuBenchNowNs() < deadline;
       fd = tavuclient_connect()) {
    usleep(2000);
  }
  return fd < 0 || tavuclient_handshake(fd, 0) != 0 ? -1 : fd;
}

// Receives and acknowledges until the daemon goes or the file is full.
int tavuServe(int fd, tavuArrivals* arrivals) {
  tavuclient_event event;
  for (uint32_t count = 0; count < TAVU_ARRIVALS_CAPACITY; ++count) {
    const int got = tavuclient_receive_event(fd, &event);
    const uint64_t arrival = tavuBenchNowNs();
    if (got == 0) return 0;
    if (got < 0 || tavuclient_acknowledge(fd, &event) != 0) return 1;
    tavuArrivalRecords(arrivals)[count] = {event.seq, event.action, arrival, tavuBenchNowNs()};
    arrivals->count.store(count + 1, std::memory_order_release);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  static const option kOptions[] = {
      {"log", required_argument, nullptr, 'l'}, {"help", no_argument, nullptr, 'h'}, {}};
  const char* path = nullptr;
  for (int option; (option = getopt_long(argc, argv, "h", kOptions, nullptr)) != -1;) {
    if (option == 'h') std::fputs(TAVU_CLIENT_USAGE, stdout);
    if (option != 'l') return option == 'h' ? 0 : 2;
    path = optarg;
  }
  if (path == nullptr || optind != argc) return 2;
  tavuArrivals* arrivals = tavuMapArrivals(path, false);
  const int fd = arrivals != nullptr ? tavuConnectSoon() : -1;
  if (fd < 0) {
    std::fprintf(stderr, "tavubench-client: %s: %s\n", path, std::strerror(errno));
    if (arrivals != nullptr) arrivals->state.store(TAVU_CLIENT_FAILED);
    return 1;
  }
  arrivals->state.store(TAVU_CLIENT_CONNECTED);
  const int status = tavuServe(fd, arrivals);
  if (status != 0) std::fprintf(stderr, "tavubench-client: %s\n", std::strerror(errno));
  return status;
}
