// Once the trace buffer exists the intake threads write to it and print
// nothing: their start entries share the main thread's hash, and every
// queued event leaves one entry with its path, sequence number and totals.
#include <errno.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "daemon/report_site.h"
#include "intake/netlink_socket_reader.h"
#include "platform/trace_kelu.h"
#include "tests/intake/intake_faults.h"
#include "tests/intake/intake_harness.h"
#include "tests/platform/trace_test_dir.h"

namespace {

constexpr char kBuffer[] = "INTAKE";
constexpr const char* kReaderName = "tavuMonitorNetlinkSocket";
constexpr const char* kWorkerName = "tavuMonitorNetlinkEventQueue";

// The entry's arguments as text: "prog,func,..." with numbers in decimal.
std::string argsOf(const tavuTraceRecord& record) {
  std::string text;
  for (const tavuTraceArg& arg : record.args) {
    if (!text.empty()) text += ",";
    text += arg.type == 's' ? arg.text : std::to_string(arg.number);
  }
  return text;
}

// Every entry of the buffer with this hash, as format and arguments.
std::vector<std::string> entriesWithHash(const tavuTraceBuffer& buffer, uint32_t hash) {
  std::vector<std::string> found;
  for (const tavuTraceRecord& record : buffer.records) {
    if (record.kind == tavuTraceRecord::ARGS && record.hash == hash) {
      found.push_back(record.format + " " + argsOf(record));
    }
  }
  return found;
}

class IntakeTrace : public tavuIntakeTest {
 protected:
  void SetUp() override {
    tavuIntakeTest::SetUp();
    if (HasFatalFailure()) return;
    g_netlinkTrace.store(tavuMakeTestBuffer(kBuffer, 32000));
    g_tracInitCalled.store(1);
  }
  void TearDown() override {
    tavuIntakeTest::TearDown();
    g_tracInitCalled.store(0);
    g_netlinkTrace.store(TRACE_KELU_NO_BUFFER);
  }
  tavuScopedTraceDir iv_dir;
};

TEST_F(IntakeTrace, StartEntriesEventEntriesAndReportsGoToTheBufferOnly) {
  const std::string prog = TAVU_TEST_PROGRAM;
  g_sentToClient.store(4);
  tavuArmFault(TAVU_FAULT_RECV, nullptr, EIO);
  tavuStdoutCapture out;
  startWorker();
  startReader();
  for (int seq : {7, 8}) {
    ASSERT_TRUE(iv_sender.send(tavuScriptAccept(seq)));
    ASSERT_TRUE(tavuWaitUntil([&] { return g_totalTavuEvents.load() == seq - 6; }));
  }
  stopReader();
  stopWorker();
  EXPECT_EQ(out.finish(), "") << "nothing is printed once the buffer exists";

  const tavuTraceBuffer buffer = tavuDecodeTestBuffer(kBuffer);
  // One text, one hash: the same as the main thread's start entry. The two
  // threads write theirs in either order.
  std::vector<std::string> running = entriesWithHash(buffer, tavuHashText("%s:%s: running\n"));
  std::sort(running.begin(), running.end());
  EXPECT_EQ(running, (std::vector<std::string>{" %s,%s " + prog + "," + kWorkerName,
                                               " %s,%s " + prog + "," + kReaderName}));
  EXPECT_EQ(entriesWithHash(buffer, tavuHashText("%s:%s: receive buffer forced to %d bytes\n")),
            std::vector<std::string>{" %s,%s,%d " + prog + "," + kReaderName + "," +
                                     std::to_string(TAVU_UEVENT_RCVBUF_SIZE)});
  EXPECT_EQ(
      entriesWithHash(buffer,
                      tavuHashText("%s:%s: recv error, errno=%d, netlinkDataQueue size: %d, "
                                   "hpEvQueue size: %d, sent to client: %d\n")),
      std::vector<std::string>{" %s,%s,%d,%d,%d,%d " + prog + "," + kReaderName + ",5,0,0,4"});
  // Path, sequence number, datagrams still queued, then the three totals.
  EXPECT_EQ(entriesWithHash(buffer, tavuHashText("%s:%s: queued %s seq=%d, netlinkDataQueue %d, "
                                                 "totals %d %d %d\n")),
            (std::vector<std::string>{
                " %s,%s,%s,%d,%d,%d,%d,%d " + prog + "," + kWorkerName + ",/test/7,7,0,1,1,4",
                " %s,%s,%s,%d,%d,%d,%d,%d " + prog + "," + kWorkerName + ",/test/8,8,0,2,2,4"}));
}

}  // namespace
