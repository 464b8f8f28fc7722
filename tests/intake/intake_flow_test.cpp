// Both intake threads together, fed over a real uevent socket: datagrams
// reach the interpreter in arrival order and their events reach g_hpEvQueue
// in the same order.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "tests/intake/intake_faults.h"
#include "tests/intake/intake_harness.h"
#include "tests/support/uevent_sender.h"

namespace {

using IntakeFlow = tavuIntakeTest;

TEST_F(IntakeFlow, DatagramsAndTheirEventsKeepArrivalOrder) {
  startWorker();
  startReader();
  std::vector<std::string> sent;
  std::vector<int> accepted;
  for (int i = 0; i < 300; ++i) {
    // Every third one is refused, so that order is kept across gaps.
    const bool accept = i % 3 != 2;
    sent.push_back(accept ? tavuScriptAccept(i) : TAVU_SCRIPT_REJECT);
    if (accept) accepted.push_back(i);
    ASSERT_TRUE(iv_sender.send(sent.back()));
  }
  ASSERT_TRUE(tavuWaitUntil([&] { return tavuInterpreterCalls().size() == sent.size(); }, 60000))
      << tavuInterpreterCalls().size() << " of " << sent.size() << " interpreted";
  EXPECT_EQ(tavuInterpreterCalls(), sent);
  EXPECT_EQ(tavuQueuedEventSeqs(), accepted);
  EXPECT_EQ(g_totalNetlinkEvents.load(), 300);
  EXPECT_EQ(g_totalTavuEvents.load(), 200);
  EXPECT_GE(tavuSignalCount(&g_hpEvQueue_cond), 1);
}

TEST_F(IntakeFlow, KernelStyleEventsMakeNodesAndQueueInOrder) {
  startWorker();
  startReader();
  constexpr int kSerialPorts = 12;
  for (int i = 0; i < kSerialPorts; ++i) {
    ASSERT_TRUE(iv_sender.send(
        tavuClassEvent("add", "/class/uart/ttyS" + std::to_string(i), "uart", 500 + i, 4, 64 + i)));
  }
  // A subsystem the daemon does not serve: interpreted, not queued.
  ASSERT_TRUE(iv_sender.send(tavuClassEvent("add", "/class/net/eth0", "net", 900)));
  ASSERT_TRUE(tavuWaitUntil([] { return tavuInterpreterCalls().size() == kSerialPorts + 1; }));
  std::vector<int> expected(kSerialPorts);
  for (int i = 0; i < kSerialPorts; ++i) expected[i] = 500 + i;
  EXPECT_EQ(tavuQueuedEventSeqs(), expected);
  for (int i = 0; i < kSerialPorts; ++i) {
    struct stat node {};
    const std::string path = "/dev/tts/" + std::to_string(i);
    ASSERT_EQ(stat(path.c_str(), &node), 0) << path;
    EXPECT_TRUE(S_ISCHR(node.st_mode)) << path;
    EXPECT_EQ(node.st_rdev, makedev(4, 64 + i)) << path;
  }
  for (int i = 0; i < kSerialPorts; ++i) {
    ASSERT_TRUE(iv_sender.send(
        tavuClassEvent("remove", "/class/uart/ttyS" + std::to_string(i), "uart", 600 + i)));
  }
  ASSERT_TRUE(tavuWaitUntil([] { return g_totalTavuEvents.load() == 2 * kSerialPorts; }));
  struct stat gone {};
  EXPECT_NE(stat("/dev/tts", &gone), 0) << "the last removal removes the directory";
}

}  // namespace
