// The daemon under long runs of events (label "load"): a backlog queued
// before the client, then a run with the client prompt. Every event the
// kernel did not drop reaches the client once and in order, /dev ends as the
// last events left it, and the drained backlog's memory goes back.
#include <chrono>
#include <thread>

#include "tavu_test.h"

namespace {

constexpr int kEvents = TAVU_LOAD_EVENTS;
constexpr int kDevices = 50;
static_assert(kEvents % (2 * kDevices) == 0, "the last round removes every device");

// The kernel's pace: event i adds device i % kDevices in even rounds and
// removes it in odd ones; then gpio<run> is added, whose node shows that
// everything before it has been handled.
void tavuSendRun(int run) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kEvents; ++i) {
    std::this_thread::sleep_until(start +
                                  std::chrono::microseconds(1000000LL * i / TAVU_LOAD_RATE));
    const std::string unit = std::to_string(i % kDevices);
    tavuSendUevent((i / kDevices) % 2 == 0
                       ? tavuLines{"ACTION=add", "DEVPATH=/class/uart/ttyS" + unit,
                                   "SUBSYSTEM=uart", "SEQNUM=" + std::to_string(i + 1), "MAJOR=4",
                                   "MINOR=" + unit}
                       : tavuLines{"ACTION=remove", "DEVPATH=/class/uart/ttyS" + unit,
                                   "SUBSYSTEM=uart", "SEQNUM=" + std::to_string(i + 1)});
  }
  const std::string marker = "/class/gpio/gpio" + std::to_string(run);
  tavuSendUevent({"ACTION=add", "DEVPATH=" + marker, "SUBSYSTEM=gpio", "MAJOR=1", "MINOR=1"});
  tavuWaitFor([&] { return access(("/dev/gpio/" + std::to_string(run)).c_str(), F_OK) == 0; });
}

long tavuResidentKb(pid_t pid) {
  const std::string status = tavuReadFile("/proc/" + std::to_string(pid) + "/status");
  return std::stol(status.substr(status.find("VmRSS:") + 6));
}

// Receives and acknowledges a run's events; returns how many came.
long tavuReceiveRun(tavuWireClient* client, int run) {
  long count = 0;
  int32_t last = 0;
  for (tavuWireEvent event; event.path != "/class/gpio/gpio" + std::to_string(run); ++count) {
    event = client->receive();
    EXPECT_GT(event.length, 0) << "after " << count << " events";
    EXPECT_TRUE(event.seq > last || event.type == "gpio") << "at " << count;
    last = event.seq;
    if (event.length <= 0 || !client->acknowledge(event.serial)) break;
  }
  return count - 1;  // the marker
}

TEST(Load, EveryEventOnceAndInOrderThenTheBacklogsMemoryGoesBack) {
  ASSERT_NO_FATAL_FAILURE(tavuRequireSandbox());
  tavuClearDev();
  tavuDaemon daemon;
  ASSERT_NO_FATAL_FAILURE(daemon.start());
  ASSERT_NO_FATAL_FAILURE(daemon.waitListening());
  const long emptyKb = tavuResidentKb(daemon.pid());
  tavuSendRun(0);
  const long queuedKb = tavuResidentKb(daemon.pid());
  tavuWireClient client;
  client.connect();
  ASSERT_EQ(client.handshake(0), tavuHeader(0x12345678, 0, 0));
  long received = tavuReceiveRun(&client, 0);
  // Released once the last acknowledgment is read; sanitizers keep freed
  // memory for themselves, so only plain builds can show it.
  EXPECT_TRUE(!TAVU_LOAD_CHECK_RELEASE || tavuWaitFor([&] {
    return tavuResidentKb(daemon.pid()) - emptyKb < (queuedKb - emptyKb) / 2;
  })) << "resident "
      << tavuResidentKb(daemon.pid()) << " kB, queued " << queuedKb << " kB";
  std::thread kernel(tavuSendRun, 1);
  received += tavuReceiveRun(&client, 1);
  kernel.join();
  EXPECT_EQ(received + daemon.ueventDrops(), 2 * kEvents);
  if (daemon.ueventDrops() == 0) {
    EXPECT_THAT(tavuDevTree(),
                ::testing::ElementsAre("c 0640 1:1 /dev/gpio/0", "c 0640 1:1 /dev/gpio/1",
                                       "d 0755 /dev/gpio"));
  }
}

}  // namespace
