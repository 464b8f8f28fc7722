// Intake capacity, measured in the sandbox: the highest sustained rate and
// the largest burst of uevents that the reader takes without loss while the
// worker makes and removes nodes, each against a receiver that does nothing
// but recv on an equally forced buffer, both fed by the same multicast.
//
//   scripts/sandbox -- build/bin/intake_capacity [--seconds S] [--trials N]
//                                                [--no-nodes] [--json]
//
// A rate is held for S seconds (default 1); each burst size and rate is
// tried N times (default 3) and counts as lossless only if none lost.
//
// --no-nodes sends events of a subsystem the daemon does not serve, so
// that the worker only interprets them: the reader's own cost shows.
//
// Prints one line per figure (or one JSON object). Exit status 0, or 1
// when the set-up fails, 2 on bad usage.
#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "daemon/globals.h"
#include "daemon/startup.h"
#include "devnodes/netlink_event.h"
#include "intake/intake_threads.h"
#include "intake/netlink_socket_reader.h"

namespace {

std::atomic<int> g_minimalReceived{0};

// The daemon's part: queue locks as start-up makes them, both intake
// threads, and a consumer that empties g_hpEvQueue as deliveries would.
bool tavuStartIntake() {
  tavuInitQueueLocks();
  g_progName = "intake_capacity";
  g_clientSockfd.store(1);
  std::thread(tavuMonitorNetlinkEventQueue, nullptr).detach();
  std::thread(tavuMonitorNetlinkSocket, nullptr).detach();
  std::thread([] {
    pthread_mutex_lock(&g_hpEvQueue_mutex);
    for (;;) {
      while (g_hpEvQueue.empty()) pthread_cond_wait(&g_hpEvQueue_cond, &g_hpEvQueue_mutex);
      tavuNetlinkEvent* event = g_hpEvQueue.front();
      g_hpEvQueue.pop_front();
      pthread_mutex_unlock(&g_hpEvQueue_mutex);
      delete event;
      pthread_mutex_lock(&g_hpEvQueue_mutex);
    }
  }).detach();
  for (int wait = 0; wait < 2000 && g_netlinkSocketFd.load() <= 0; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // bound and receiving
  return g_netlinkSocketFd.load() > 0;
}

int tavuOpenNetlink(uint32_t port, uint32_t groups, bool forceBuffer) {
  const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  if (fd < 0) return -1;
  const int32_t size = TAVU_UEVENT_RCVBUF_SIZE;
  sockaddr_nl self{};
  self.nl_family = AF_NETLINK;
  self.nl_pid = port;
  self.nl_groups = groups;
  if ((forceBuffer && setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) ||
      bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Nothing but recv: the most any receiver on this buffer could take.
bool tavuStartMinimalReceiver() {
  const int fd = tavuOpenNetlink(0x30000000u + static_cast<uint32_t>(getpid()), 1, true);
  if (fd < 0) return false;
  std::thread([fd] {
    char buffer[TAVU_UEVENT_MAX];
    for (;;) {
      if (recv(fd, buffer, sizeof buffer, 0) >= 0) g_minimalReceived.fetch_add(1);
    }
  }).detach();
  return true;
}

bool g_nodeEvents = true;

// Header and keys, each string ending with a NUL as the kernel sends them.
std::string tavuDatagram(const std::string& header, const std::vector<std::string>& keys) {
  std::string text = header;
  text.push_back('\0');
  for (const std::string& key : keys) {
    text += key;
    text.push_back('\0');
  }
  return text;
}

// A serial port added, then removed: every pair makes and removes a node.
// Without node events, a subsystem the daemon does not serve: the worker
// interprets and drops it.
std::string tavuBenchEvent(uint64_t i) {
  const std::string port = std::to_string((i / 2) % 256);
  const std::string seqnum = "SEQNUM=" + std::to_string(i);
  if (!g_nodeEvents) {
    return tavuDatagram("add@/class/net/eth" + port,
                        {"ACTION=add", "DEVPATH=/class/net/eth" + port, "SUBSYSTEM=net", seqnum});
  }
  const std::string devpath = "/class/uart/ttyS" + port;
  if (i % 2 == 0) {
    return tavuDatagram("add@" + devpath, {"ACTION=add", "DEVPATH=" + devpath, "SUBSYSTEM=uart",
                                           seqnum, "MAJOR=4", "MINOR=" + port});
  }
  return tavuDatagram("remove@" + devpath,
                      {"ACTION=remove", "DEVPATH=" + devpath, "SUBSYSTEM=uart", seqnum});
}

struct tavuTrial {
  int sent = 0;
  int reader = 0;          // taken by the daemon's reader
  int minimal = 0;         // taken by the minimal receiver
  double sendSeconds = 0;  // from the first send to the last
};

class tavuBench {
 public:
  explicit tavuBench(int sender) : iv_sender(sender) {}

  tavuTrial burst(int count) {
    return trial(count, [this](int) { send(); });
  }

  tavuTrial rate(int perSecond, double seconds) {
    const int count = static_cast<int>(perSecond * seconds);
    const auto start = std::chrono::steady_clock::now();
    return trial(count, [&](int i) {
      const auto due = start + std::chrono::nanoseconds(1000000000LL * i / perSecond);
      std::this_thread::sleep_until(due);  // late ones go at once
      send();
    });
  }

 private:
  tavuTrial trial(int count, const std::function<void(int)>& sendOne) {
    const int readerBefore = g_totalNetlinkEvents.load();
    const int minimalBefore = g_minimalReceived.load();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) sendOne(i);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    settle();
    return {count, g_totalNetlinkEvents.load() - readerBefore,
            g_minimalReceived.load() - minimalBefore, took.count()};
  }

  void send() {
    const std::string datagram = tavuBenchEvent(iv_next++);
    sockaddr_nl group{};
    group.nl_family = AF_NETLINK;
    group.nl_groups = 1;
    (void)sendto(iv_sender, datagram.data(), datagram.size(), 0,
                 reinterpret_cast<sockaddr*>(&group), sizeof group);
  }

  // Until both receivers and the worker have nothing left.
  static void settle() {
    int reader = -1;
    int minimal = -1;
    while (reader != g_totalNetlinkEvents.load() || minimal != g_minimalReceived.load() ||
           g_netlinkDataQueue.size() != 0) {
      reader = g_totalNetlinkEvents.load();
      minimal = g_minimalReceived.load();
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
  }

  int iv_sender;
  uint64_t iv_next = 0;
};

struct tavuLossless {
  int reader = 0;  // the largest value at which no trial lost anything
  int minimal = 0;
};

// Climbs a ladder of values 25 % apart from `start` to `limit`, running
// `trials` trials at each; both receivers see every trial, so they are
// compared under the same load. A receiver's figure is the last value
// before its first loss.
tavuLossless tavuClimb(const std::function<tavuTrial(int)>& run, int start, int limit, int trials) {
  tavuLossless found;
  bool readerLost = false;
  bool minimalLost = false;
  for (int value = std::min(start, limit); !(readerLost && minimalLost);
       value = std::min(value + std::max(value / 4, 1), limit)) {
    bool readerClean = true;
    bool minimalClean = true;
    for (int trial = 0; trial < trials; ++trial) {
      const tavuTrial t = run(value);
      readerClean = readerClean && t.reader == t.sent;
      minimalClean = minimalClean && t.minimal == t.sent;
    }
    readerLost = readerLost || !readerClean;
    minimalLost = minimalLost || !minimalClean;
    if (!readerLost) found.reader = value;
    if (!minimalLost) found.minimal = value;
    if (value == limit) break;  // no further than can be tried
  }
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 1;
  int trials = 3;
  bool json = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (word == "--trials" && i + 1 < argc) {
      trials = std::atoi(argv[++i]);
    } else if (word == "--json") {
      json = true;
    } else if (word == "--no-nodes") {
      g_nodeEvents = false;
    } else {
      std::fprintf(stderr,
                   "usage: intake_capacity [--seconds S] [--trials N] [--no-nodes] [--json]\n");
      return word == "--help" || word == "-h" ? 0 : 2;
    }
  }
  if (seconds <= 0 || trials <= 0) {
    std::fprintf(stderr, "intake_capacity: --seconds and --trials need positive numbers\n");
    return 2;
  }
  // The reader reports every overflow on standard output; keep the figures apart.
  FILE* results = fdopen(dup(1), "w");
  const int devNull = open("/dev/null", O_WRONLY);
  dup2(devNull, 1);
  close(devNull);

  const int sender = tavuOpenNetlink(0x31000000u + static_cast<uint32_t>(getpid()), 0, false);
  if (!tavuStartIntake() || !tavuStartMinimalReceiver() || sender < 0) {
    std::fprintf(stderr, "intake_capacity: cannot set up (run it in scripts/sandbox): %s\n",
                 std::strerror(errno));
    return 1;
  }
  tavuBench bench(sender);
  const auto burst = [&](int count) { return bench.burst(count); };
  const auto rate = [&](int perSecond) { return bench.rate(perSecond, seconds); };
  const tavuLossless bursts = tavuClimb(burst, 256, 1 << 17, trials);
  const int burstReader = bursts.reader;
  const int burstMinimal = bursts.minimal;
  // Rates above what the sender keeps up with would only measure the sender.
  const tavuTrial flat = bench.burst(20000);
  const int senderMax = static_cast<int>(flat.sent / flat.sendSeconds);
  const int rateLimit = senderMax * 9 / 10;
  const tavuLossless rates = tavuClimb(rate, 2000, rateLimit, trials);
  const int rateReader = rates.reader;
  const int rateMinimal = rates.minimal;

  // A flood far beyond the buffer: what each takes while the sender runs
  // flat out is its own pace, averaged over the flood rather than bounded
  // by the worst stall. The median of three.
  constexpr int kFlood = 50000;
  std::vector<tavuTrial> floods;
  floods.reserve(3);
  for (int i = 0; i < 3; ++i) floods.push_back(bench.burst(kFlood));
  std::sort(floods.begin(), floods.end(),
            [](const tavuTrial& a, const tavuTrial& b) { return a.reader < b.reader; });
  const int floodReader = floods[1].reader;
  std::sort(floods.begin(), floods.end(),
            [](const tavuTrial& a, const tavuTrial& b) { return a.minimal < b.minimal; });
  const int floodMinimal = floods[1].minimal;
  const double floodRatio = floodMinimal > 0 ? static_cast<double>(floodReader) / floodMinimal : 0;

  const double burstRatio = burstMinimal > 0 ? static_cast<double>(burstReader) / burstMinimal : 0;
  const double rateRatio = rateMinimal > 0 ? static_cast<double>(rateReader) / rateMinimal : 0;
  if (json) {
    std::fprintf(results,
                 "{\"node_events\":%s,\"event_bytes\":%zu,\"burst_reader\":%d,\"burst_minimal\":%d,"
                 "\"burst_ratio\":%.3f,\"rate_reader\":%d,\"rate_minimal\":%d,"
                 "\"rate_ratio\":%.3f,\"rate_seconds\":%.1f,\"sender_max\":%d,"
                 "\"flood\":%d,\"flood_reader\":%d,\"flood_minimal\":%d,\"flood_ratio\":%.3f}\n",
                 g_nodeEvents ? "true" : "false", tavuBenchEvent(0).size(), burstReader,
                 burstMinimal, burstRatio, rateReader, rateMinimal, rateRatio, seconds, senderMax,
                 kFlood, floodReader, floodMinimal, floodRatio);
  } else {
    std::fprintf(results, "%s events of %zu bytes, receive buffers forced to %d bytes\n",
                 g_nodeEvents ? "node" : "ignored", tavuBenchEvent(0).size(),
                 TAVU_UEVENT_RCVBUF_SIZE);
    std::fprintf(results, "largest burst without loss: reader %d, minimal receiver %d (%.2f)\n",
                 burstReader, burstMinimal, burstRatio);
    std::fprintf(results,
                 "highest rate without loss over %.1f s: reader %d/s, minimal receiver %d/s "
                 "(%.2f)\n",
                 seconds, rateReader, rateMinimal, rateRatio);
    std::fprintf(results, "sender alone: %d/s; rates were tried up to %d/s\n", senderMax,
                 rateLimit);
    std::fprintf(results, "flood of %d at full speed: reader took %d, minimal receiver %d (%.2f)\n",
                 kFlood, floodReader, floodMinimal, floodRatio);
  }
  std::fclose(results);
  std::_Exit(0);  // the detached threads run on; nothing of theirs needs to finish
}
