// Both intake threads together, fed over a real uevent socket: datagrams
// reach the interpreter in arrival order and their events reach g_hpEvQueue
// in the same order.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "tests/intake/intake_faults.h"
#include "tests/intake/intake_harness.h"

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

}  // namespace
