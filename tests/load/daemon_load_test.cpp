// The real daemon under load: a long run of hot-plug events with a prompt
// client, and a long burst queued before any client connects. The kernel
// may drop datagrams when the daemon's socket is full; those are counted
// from /proc/net/netlink, and every other event must reach the client once,
// in order.
//
// Events and rate default to the build (see CMakeLists.txt) and can be set
// with TAVU_LOAD_EVENTS and TAVU_LOAD_RATE (per second) in the environment.
#include <time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/driver/proc_probe.h"
#include "tests/e2e/e2e_fixture.h"

namespace {

// The devices of the workload: kLoadPerClass of each class, their node
// paths written out rather than derived, so the daemon's naming is checked.
struct LoadClass {
  const char* devpath;  // printf format of the device path, %d the unit
  const char* subsystem;
  const char* type;  // as delivered
  int major;
  const char* node;  // printf format of the node path
};

const LoadClass kLoadClasses[] = {
    {"/class/uart/ttyS%d", "uart", "uart", 4, "/dev/tts/%d"},
    {"/class/gpio/gpio%d", "gpio", "gpio", 254, "/dev/gpio/%d"},
    {"/class/kwb/kwb0.1.%d", "kwb", "kwb", 240, "/dev/kwb0/1/%d"},
    {"/class/jtag/jtag%d", "jtag", "jtag", 250, "/dev/jtag/%d"},
    {"/class/scan/scan%d", "scan", "scan", 248, "/dev/scan/%d"},
    {"/class/vrax/vrax%d", "vrax", "vrax", 247, "/dev/vrax/%d"},
    {"/class/iomux/iomux%d", "iomux", "iomux", 245, "/dev/iomux/%d"},
    {"/class/ttyKWB/ttyKWB%d", "ttyKWB", "ttyKWB", 251, "/dev/ttsKWB/%d"},
    {"/class/net/mbx%d", "net", "net", 246, "/dev/mbx/%d"},
};
constexpr int kLoadClassCount = sizeof kLoadClasses / sizeof kLoadClasses[0];
constexpr int kLoadPerClass = 5;
constexpr int kLoadDevices = kLoadClassCount * kLoadPerClass;

std::string formatted(const char* format, int unit) {
  char text[96];
  std::snprintf(text, sizeof text, format, unit);
  return text;
}

// Event i (SEQNUM i + 1) touches device i % kLoadDevices, consecutive
// events falling on different classes; the rounds alternate add and remove.
struct LoadEvent {
  int device;
  bool add;
  const LoadClass* cls;
  int unit;
  std::string devpath;
};

LoadEvent loadEvent(uint32_t index) {
  LoadEvent event;
  event.device = static_cast<int>(index % kLoadDevices);
  event.add = (index / kLoadDevices) % 2 == 0;
  event.cls = &kLoadClasses[event.device % kLoadClassCount];
  event.unit = event.device / kLoadClassCount;
  event.devpath = formatted(event.cls->devpath, event.unit);
  return event;
}

std::string loadDatagram(uint32_t index) {
  const LoadEvent e = loadEvent(index);
  return tavuClassEvent(e.add ? "add" : "remove", e.devpath, e.cls->subsystem,
                        static_cast<int>(index + 1), e.add ? e.cls->major : 0, e.unit);
}

// The /dev tree for the devices present, as tavuDevTree() lists it.
std::vector<std::string> expectedTree(const std::vector<bool>& present) {
  std::set<std::string> lines;
  for (int device = 0; device < kLoadDevices; ++device) {
    if (!present[device]) continue;
    const LoadClass& cls = kLoadClasses[device % kLoadClassCount];
    const int unit = device / kLoadClassCount;
    const std::string node = formatted(cls.node, unit);
    lines.insert("c 0640 " + std::to_string(cls.major) + ":" + std::to_string(unit) + " " + node);
    for (size_t slash = node.find('/', 5); slash != std::string::npos;
         slash = node.find('/', slash + 1)) {
      lines.insert("d 0755 " + node.substr(0, slash));
    }
  }
  return std::vector<std::string>(lines.begin(), lines.end());
}

uint32_t fromEnvironment(const char* name, uint32_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && std::atol(text) > 0 ? static_cast<uint32_t>(std::atol(text)) : fallback;
}

uint64_t nowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

double secondsSince(uint64_t startNs) {
  return static_cast<double>(nowNs() - startNs) / 1e9;
}

class DaemonLoad : public DaemonEndToEnd {
 protected:
  void SetUp() override {
    DaemonEndToEnd::SetUp();
    iv_events = fromEnvironment("TAVU_LOAD_EVENTS", TAVU_LOAD_EVENTS);
    iv_rate = fromEnvironment("TAVU_LOAD_RATE", TAVU_LOAD_RATE);
    iv_present.assign(kLoadDevices, false);
  }

  void TearDown() override {
    if (iv_sender.joinable()) iv_sender.join();
    DaemonEndToEnd::TearDown();
  }

  // Starts the daemon and notes its uevent socket's drop count.
  void startAndFindSocket() {
    startDaemon();
    tavuNetlinkSocketInfo socket;
    ASSERT_TRUE(tavuFindUeventSocket(iv_daemon.daemonPid, &socket));
    iv_socketInode = socket.inode;
    iv_dropsBefore = socket.drops;
  }

  uint32_t kernelDrops() {
    tavuNetlinkSocketInfo socket;
    EXPECT_TRUE(tavuNetlinkSocketByInode(iv_socketInode, &socket));
    return socket.drops - iv_dropsBefore;
  }

  // Sends the workload at iv_rate from a thread of its own, each datagram
  // at its time from the start, so the average holds across a late wake-up.
  void startSending() {
    iv_sendStart = nowNs();
    iv_sender = std::thread([this] {
      const uint64_t intervalNs = 1000000000u / iv_rate;
      for (uint32_t index = 0; index < iv_events; ++index) {
        const uint64_t due = iv_sendStart + index * intervalNs;
        const timespec when{static_cast<time_t>(due / 1000000000u),
                            static_cast<long>(due % 1000000000u)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
        }
        if (!iv_kernel.send(loadDatagram(index))) break;
        iv_sent.store(index + 1);
      }
      iv_sendSeconds = secondsSince(iv_sendStart);
      iv_sendDone.store(true);
    });
  }

  void finishSending() {
    iv_sender.join();
    ASSERT_EQ(iv_sent.load(), iv_events) << "the kernel refused a datagram";
    std::printf("sent %u events in %.1f s (%.0f/s)\n", iv_events, iv_sendSeconds,
                iv_events / iv_sendSeconds);
  }

  // Receives and acknowledges until every event sent and not dropped by
  // the kernel has arrived; checks each against the workload. `halfway`
  // runs once half of them have arrived.
  void receiveEverything(int32_t handshakeSerial, const std::function<void()>& halfway) {
    uint32_t expected = UINT32_MAX;  // known once the sender has finished
    uint32_t received = 0;
    uint32_t lastSeq = 0;
    bool halfwayDone = false;
    uint64_t lastArrival = nowNs();
    while (received != expected) {
      if (expected == UINT32_MAX && iv_sendDone.load()) {
        expected = iv_events - kernelDrops();
        continue;
      }
      // Polled, so that the end of the sending is noticed while waiting.
      if (iv_client.quietFor(100)) {
        ASSERT_LT(secondsSince(lastArrival), 20.0)
            << "no event after " << received << " of " << expected << " (sent " << iv_sent.load()
            << ", kernel drops " << kernelDrops() << ")";
        continue;
      }
      lastArrival = nowNs();
      tavuWireEvent event;
      ASSERT_TRUE(iv_client.readEvent(&event, 20000)) << "a message cut short";
      ASSERT_TRUE(iv_client.acknowledge(event.header.serialNum));
      ASSERT_EQ(event.header.serialNum,
                static_cast<int32_t>(static_cast<uint32_t>(handshakeSerial) + received + 1))
          << "after " << received << " events";
      ASSERT_GT(static_cast<uint32_t>(event.seq), lastSeq) << "out of order or repeated";
      ASSERT_LE(static_cast<uint32_t>(event.seq), iv_events);
      lastSeq = static_cast<uint32_t>(event.seq);
      const LoadEvent sent = loadEvent(lastSeq - 1);
      ASSERT_EQ(event.action, sent.add ? 1 : 2) << "seq " << lastSeq;
      ASSERT_EQ(event.path, sent.devpath) << "seq " << lastSeq;
      ASSERT_EQ(event.type, sent.cls->type) << "seq " << lastSeq;
      iv_present[sent.device] = sent.add;
      ++received;
      if (!halfwayDone && received >= iv_events / 2) {
        halfwayDone = true;
        if (halfway) halfway();
      }
    }
    EXPECT_TRUE(iv_client.quietFor(300)) << "more messages than events accepted";
    std::printf("received %u events, kernel drops %u\n", received, iv_events - received);
    // A few drops are the kernel's business; many mean the test paced too fast.
    EXPECT_LE(iv_events - received, iv_events / 100) << "lower TAVU_LOAD_RATE";
  }

  uint64_t daemonRssKb() {
    uint64_t kb = 0;
    EXPECT_TRUE(tavuReadRssKb(iv_daemon.daemonPid, &kb));
    return kb;
  }

  uint32_t iv_events = 0, iv_rate = 0;
  uint64_t iv_socketInode = 0;
  uint32_t iv_dropsBefore = 0;
  std::thread iv_sender;
  uint64_t iv_sendStart = 0;
  double iv_sendSeconds = 0;
  std::atomic<uint32_t> iv_sent{0};
  std::atomic<bool> iv_sendDone{false};
  std::vector<bool> iv_present;  // by the last event delivered for each device
};

TEST_F(DaemonLoad, PromptClientGetsEveryAcceptedEventOnceInOrderWithFlatMemory) {
  startAndFindSocket();
  // Near the top, so that the serial numbers wrap during the run.
  const int32_t serial = INT32_MAX - 1000;
  connectAndHandshake(serial);
  const uint64_t start = nowNs();
  startSending();
  uint64_t rssHalfway = 0;
  receiveEverything(serial, [&] { rssHalfway = daemonRssKb(); });
  finishSending();
  EXPECT_EQ(tavuDevTree(), expectedTree(iv_present));
  const uint64_t rssEnd = daemonRssKb();
  std::printf("soak: %.1f s; daemon VmRSS %llu kB halfway, %llu kB at the end\n",
              secondsSince(start), static_cast<unsigned long long>(rssHalfway),
              static_cast<unsigned long long>(rssEnd));
  // With the queue drained, the second half of the run must not have grown
  // the daemon: a leak of one small block per event would show here.
  if (TAVU_LOAD_RSS_SLACK_KB != 0) {
    EXPECT_LT(rssEnd, rssHalfway + TAVU_LOAD_RSS_SLACK_KB);
  }
  EXPECT_TRUE(stillRunning(0));
  EXPECT_EQ(tavuDaemonOutput(iv_daemon), "");
}

TEST_F(DaemonLoad, BurstQueuedBeforeTheClientIsDeliveredWholeOnceItConnects) {
  startAndFindSocket();
  startSending();
  finishSending();
  // Once the last one is interpreted, every event waits in the daemon's queue.
  const LoadEvent last = loadEvent(iv_events - 1);
  if (kernelDrops() == 0) {
    ASSERT_TRUE(tavuWaitForPath(formatted(last.cls->node, last.unit), last.add, 60000));
  }
  const uint64_t rssQueued = daemonRssKb();
  const uint64_t start = nowNs();
  connectAndHandshake(7);
  receiveEverything(7, nullptr);
  std::printf("burst: %u events delivered in %.1f s after the handshake\n", iv_events,
              secondsSince(start));
  EXPECT_EQ(tavuDevTree(), expectedTree(iv_present));
  EXPECT_TRUE(stillRunning(0));
  const uint64_t rssDrained = daemonRssKb();
  std::printf("burst: daemon VmRSS %llu kB queued, %llu kB drained\n",
              static_cast<unsigned long long>(rssQueued),
              static_cast<unsigned long long>(rssDrained));
  // The drained backlog's memory goes back to the system, not just to the
  // allocator's free lists.
  if (TAVU_LOAD_CHECK_RELEASE != 0) {
    EXPECT_LT(rssDrained, rssQueued / 2);
  }
}

}  // namespace
