// tavubench-floor: the least a uevent-driven device manager can do, as the
// reference the daemon is measured against.
#include <errno.h>
#include <linux/netlink.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/floor/floor_node.h"

namespace {

const char TAVU_FLOOR_USAGE[] =
    R"(Usage: tavubench-floor [--walk] [--rcvbuf BYTES]

The reference floor for the end-to-end benchmark: receives uevents on a
NETLINK_KOBJECT_UEVENT socket (receive buffer forced to BYTES, default
262144, as the daemon does), reads ACTION=, DEVPATH=, MAJOR= and MINOR=,
and for a class device makes the character node (mknod, and mkdir of its
directory only when needed) or removes it (unlink, rmdir of its directory).
No queue, no client, no allocation per event. Serves names of the form
PREFIX<digits> under /class/ ("/class/uart/ttyS3" gives /dev/tts/3).

  --walk           make the daemon's filesystem calls instead: mkdir of /dev
                   and the directory before every mknod, rmdir up to /dev
                   after every unlink
  --rcvbuf BYTES   the receive buffer to force (SO_RCVBUFFORCE)
  -h, --help       this text

Runs until SIGTERM or SIGINT, then prints one line of totals to standard
error: datagrams received, nodes handled, receive overruns (ENOBUFS).
Run it only in a private sandbox (scripts/sandbox): it writes under /dev.

Exit status: 0 stopped by a signal; 1 the socket could not be set up or a
receive failed; 2 bad usage.
)";

std::atomic<int> g_floorStop{0};

void tavuFloorOnSignal(int /*signal*/) {
  g_floorStop.store(1);
}

struct tavuFloorOptions {
  bool walk = false;
  int rcvbuf = 262144;
};

// Returns -1 to go on, else the exit status.
int tavuFloorParseArgs(int argc, char** argv, tavuFloorOptions* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "-h" || word == "--help") {
      std::fputs(TAVU_FLOOR_USAGE, stdout);
      return 0;
    }
    if (word == "--walk") {
      options->walk = true;
    } else if (word == "--rcvbuf" && i + 1 < argc) {
      char* end = nullptr;
      const long value = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || value <= 0 || value > (1L << 30)) {
        std::fprintf(stderr, "tavubench-floor: bad --rcvbuf '%s' (try --help)\n", argv[i]);
        return 2;
      }
      options->rcvbuf = static_cast<int>(value);
    } else {
      std::fprintf(stderr, "tavubench-floor: unknown argument '%s' (try --help)\n", argv[i]);
      return 2;
    }
  }
  return -1;
}

int tavuFloorOpenSocket(int rcvbuf) {
  const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  if (fd < 0) return -1;
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_pid = static_cast<uint32_t>(getpid());
  address.nl_groups = 0xFFFFFFFFu;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) != 0 ||
      bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

void tavuFloorCatchSignals() {
  struct sigaction action {};
  action.sa_handler = tavuFloorOnSignal;  // no SA_RESTART: recv must return
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  tavuFloorOptions options;
  const int status = tavuFloorParseArgs(argc, argv, &options);
  if (status >= 0) return status;
  tavuFloorCatchSignals();
  umask(022);  // as the daemon: nodes 0640, directories 0755
  const int fd = tavuFloorOpenSocket(options.rcvbuf);
  if (fd < 0) {
    std::fprintf(stderr, "tavubench-floor: cannot open the uevent socket: %s\n",
                 std::strerror(errno));
    return 1;
  }
  unsigned long received = 0, handled = 0, overruns = 0;
  char buffer[4096];
  while (g_floorStop.load() == 0) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOBUFS) {  // the kernel dropped datagrams: go on
        ++overruns;
        continue;
      }
      std::fprintf(stderr, "tavubench-floor: recv failed: %s\n", std::strerror(errno));
      return 1;
    }
    ++received;
    if (tavuFloorHandle(buffer, static_cast<size_t>(n), options.walk)) ++handled;
  }
  std::fprintf(stderr, "tavubench-floor: %lu datagrams, %lu nodes handled, %lu overruns\n",
               received, handled, overruns);
  return 0;
}
