// The whole daemon end to end: what a user sees in /dev, on the client
// socket, on standard output, in the trace, and in the exit status.
#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include "tests/e2e/e2e_fixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::SizeIs;

TEST_F(DaemonEndToEnd, EventsRaisedBeforeTheClientAreDeliveredInOrderAfterTheHandshake) {
  startDaemon();
  const int32_t before = static_cast<int32_t>(time(nullptr));
  send(tavuClassEvent("add", "/class/uart/ttyS0", "uart", 10, 4, 64));
  send(tavuClassEvent("add", "/class/uart/ttyS1", "uart", 11, 4, 65));
  send(tavuClassEvent("add", "/class/gpio/gpio12", "gpio", 12, 254, 12));
  send(tavuClassEvent("add", "/class/kwb/kwb0.1.2", "kwb", 13, 240, 2));
  ASSERT_TRUE(tavuWaitForPath("/dev/kwb0/1/2"));
  EXPECT_THAT(tavuDevTree(),
              ElementsAre("c 0640 240:2 /dev/kwb0/1/2", "c 0640 254:12 /dev/gpio/12",
                          "c 0640 4:64 /dev/tts/0", "c 0640 4:65 /dev/tts/1", "d 0755 /dev/gpio",
                          "d 0755 /dev/kwb0", "d 0755 /dev/kwb0/1", "d 0755 /dev/tts"));

  connectAndHandshake(41);
  struct Expected {
    int32_t seq;
    const char* path;
    const char* type;
  };
  const Expected expected[] = {{10, "/class/uart/ttyS0", "uart"},
                               {11, "/class/uart/ttyS1", "uart"},
                               {12, "/class/gpio/gpio12", "gpio"},
                               {13, "/class/kwb/kwb0.1.2", "kwb"}};
  int32_t serial = 42;
  for (const Expected& e : expected) {
    const tavuWireEvent event = receiveAndAcknowledge();
    EXPECT_EQ(event.header.signature, TAVU_MSG_SIGNATURE);
    EXPECT_EQ(event.header.serialNum, serial++);
    EXPECT_GE(event.time, before);
    EXPECT_LE(event.time, static_cast<int32_t>(time(nullptr)));
    EXPECT_EQ(event.payload, tavuExpectedPayload(event.time, 1, e.seq, 0, 0, e.path, e.type));
  }

  send(tavuClassEvent("remove", "/class/uart/ttyS0", "uart", 14));
  tavuWireEvent removal = receiveAndAcknowledge();
  EXPECT_EQ(removal.header.serialNum, 46);
  EXPECT_EQ(removal.payload,
            tavuExpectedPayload(removal.time, 2, 14, 0, 0, "/class/uart/ttyS0", "uart"));
  EXPECT_FALSE(tavuWaitForPath("/dev/tts/0", true, 0));
  EXPECT_TRUE(tavuWaitForPath("/dev/tts")) << "still holds ttyS1's node";
  send(tavuClassEvent("remove", "/class/uart/ttyS1", "uart", 15));
  receiveAndAcknowledge();
  EXPECT_TRUE(tavuWaitForPath("/dev/tts", false));
  EXPECT_TRUE(stillRunning(200));
  EXPECT_EQ(tavuDaemonOutput(iv_daemon), "") << "nothing to report in a normal run";

  tavuStopDaemon(&iv_daemon);
  const std::vector<std::string> trace = traceLines();
  EXPECT_THAT(tavuLinesWith(trace, "tavunetlink:main: "), SizeIs(1));
  EXPECT_THAT(tavuLinesWith(trace, "tavunetlink:tavunetlink_SendToClient: "), SizeIs(6));
}

TEST_F(DaemonEndToEnd, NextMessageWaitsForTheAcknowledgmentOfThePrevious) {
  startDaemon();
  connectAndHandshake(0);
  send(tavuClassEvent("add", "/class/jtag/jtag1", "jtag", 1, 250, 1));
  send(tavuClassEvent("add", "/class/jtag/jtag2", "jtag", 2, 250, 2));
  tavuWireEvent first;
  ASSERT_TRUE(iv_client.readEvent(&first));
  EXPECT_EQ(first.header.serialNum, 1);
  EXPECT_TRUE(iv_client.quietFor(500)) << "the second message came before the acknowledgment";
  ASSERT_TRUE(iv_client.acknowledge(1));
  tavuWireEvent second;
  ASSERT_TRUE(iv_client.readEvent(&second));
  EXPECT_EQ(second.header.serialNum, 2);
  EXPECT_EQ(second.seq, 2);
}

TEST_F(DaemonEndToEnd, ClientThatGoesAwayLeavesTheDaemonKeepingDevInStep) {
  startDaemon();
  connectAndHandshake(0);
  send(tavuClassEvent("add", "/class/gpio/gpio1", "gpio", 1, 254, 1));
  tavuWireEvent first;
  ASSERT_TRUE(iv_client.readEvent(&first));
  iv_client.close();  // without acknowledging

  send(tavuClassEvent("add", "/class/gpio/gpio2", "gpio", 2, 254, 2));
  ASSERT_TRUE(tavuWaitForPath("/dev/gpio/2"));
  send(tavuClassEvent("remove", "/class/gpio/gpio1", "gpio", 3));
  ASSERT_TRUE(tavuWaitForPath("/dev/gpio/1", false));
  EXPECT_THAT(tavuDevTree(), ElementsAre("c 0640 254:2 /dev/gpio/2", "d 0755 /dev/gpio"));
  EXPECT_TRUE(stillRunning(500));

  tavuStopDaemon(&iv_daemon);
  const std::vector<std::string> trace = traceLines();
  EXPECT_THAT(tavuLinesWith(trace, "Acknowledge message length incorrect, expected=12, actual=0"),
              SizeIs(1));
  EXPECT_THAT(tavuLinesWith(trace,
                            "Send error errno=32, netlinkEvent dropped: iv_action=add, "
                            "iv_seq=2, iv_type=gpio, iv_path=/class/gpio/gpio2"),
              SizeIs(1));
  EXPECT_THAT(tavuLinesWith(trace,
                            "Send error errno=32, netlinkEvent dropped: iv_action=rmv, "
                            "iv_seq=3, iv_type=gpio, iv_path=/class/gpio/gpio1"),
              SizeIs(1));
}

TEST_F(DaemonEndToEnd, IgnoredAndRejectedEventsReachNobodyAndLeaveDevAlone) {
  startDaemon();
  connectAndHandshake(0);
  const std::string change = tavuClassEvent("change", "/class/gpio/gpio5", "gpio", 1, 254, 5);
  send(change);
  send(tavuClassEvent("add", "/class/net/eth0", "net", 2, 10, 1));
  send(tavuClassEvent("add", "/devices/link-0/tlor-0/kwb-0.03", "kwb", 3, 240, 3));
  send(tavuClassEvent("add", "/class/UART/ttyS3", "UART", 4, 4, 67));
  send(tavuClassEvent("add", "/class/iomux/iomux0", "iomux", 5, 245, 0));
  const tavuWireEvent event = receiveAndAcknowledge();
  EXPECT_EQ(event.seq, 5);
  EXPECT_EQ(event.type, "iomux");
  EXPECT_TRUE(iv_client.quietFor(300));
  EXPECT_THAT(tavuDevTree(), ElementsAre("c 0640 245:0 /dev/iomux/0", "d 0755 /dev/iomux"));

  tavuStopDaemon(&iv_daemon);
  std::vector<tavuTraceRecord> binary;
  for (const tavuTraceRecord& record : traceRecords()) {
    if (record.kind == tavuTraceRecord::BINARY) binary.push_back(record);
  }
  ASSERT_THAT(binary, SizeIs(1)) << "one binary entry, for the unknown action";
  EXPECT_EQ(std::string(binary[0].data.begin(), binary[0].data.end()), change);
  EXPECT_EQ(binary[0].binaryTag, 0x4644);
}

TEST_F(DaemonEndToEnd, FailedHandshakeEndsRightAfterTheTraceBufferIsCreated) {
  startDaemon();
  ASSERT_TRUE(iv_client.connect());
  std::string handshake = tavuHandshakeBytes(5);
  handshake[8] = handshake[9] = handshake[10] = handshake[11] = 0;
  const int32_t eighteen = 18;
  handshake.replace(8, 4, reinterpret_cast<const char*>(&eighteen), 4);
  ASSERT_TRUE(iv_client.sendBytes(handshake));
  EXPECT_EQ(waitForExit(), 255);
  EXPECT_EQ(tavuDaemonOutput(iv_daemon),
            "tavunetlink:tavunetlink_GetClientConnection: Exiting, received message didn't match "
            "what is expected, msglength=29, signature=0x12345678, serialnum=5, payloadLength=18, "
            "message=ready to receive\n");
  const std::vector<std::string> trace = traceLines();
  ASSERT_THAT(trace, SizeIs(1)) << "only the start entry";
  EXPECT_NE(trace[0].find("tavunetlink:main: "), std::string::npos) << trace[0];
}

TEST_F(DaemonEndToEnd, FatalEndOfTheReaderEndsTheDaemonAtOnce) {
  startDaemon("pthread_mutex_lock:netlinkDataQueue@reader#1");
  connectAndHandshake(0);
  send(tavuClassEvent("add", "/class/vrax/vrax0", "vrax", 1, 247, 0));
  EXPECT_EQ(waitForExit(3000), 255);
  EXPECT_TRUE(iv_client.closedWithin(1000));
  EXPECT_THAT(tavuLinesWith(traceLines(),
                            "tavunetlink_faulty:tavuMonitorNetlinkSocket: Exiting, "
                            "pthread_mutex_lock(netlinkDataQueue) failed"),
              SizeIs(1));
}

TEST_F(DaemonEndToEnd, FatalEndOfTheWorkerAbandonsTheQueuedRecords) {
  startDaemon("pthread_mutex_lock:hpEvQueue@worker#3");
  send(tavuClassEvent("add", "/class/scan/scan0", "scan", 1, 248, 0));
  send(tavuClassEvent("add", "/class/scan/scan1", "scan", 2, 248, 1));
  send(tavuClassEvent("add", "/class/scan/scan2", "scan", 3, 248, 2));
  ASSERT_TRUE(tavuWaitForPath("/dev/scan/2"));
  for (int i = 0; i < 200 && tavuDaemonOutput(iv_daemon).empty(); ++i) usleep(10 * 1000);
  EXPECT_EQ(tavuDaemonOutput(iv_daemon),
            "tavunetlink_faulty:tavuMonitorNetlinkEventQueue: Exiting, failed "
            "pthread_mutex_lock(hpEvQueue) rc=22\n");
  EXPECT_TRUE(stillRunning(200)) << "waits for its client all the same";
  ASSERT_TRUE(iv_client.connect());
  ASSERT_TRUE(iv_client.handshake(0));
  EXPECT_EQ(waitForExit(5000), 255);
  EXPECT_TRUE(iv_client.closedWithin(1000)) << "no event message, only the end of the stream";
}

struct LoopFailure {
  const char* plan;
  bool eventQueued;  // the failure needs a record in hand
  int status;
  const char* report;
};

class DeliveryLoopFailure : public DaemonEndToEnd,
                            public ::testing::WithParamInterface<LoopFailure> {};

TEST_P(DeliveryLoopFailure, EndsWithItsStatusAfterItsReport) {
  const LoopFailure& c = GetParam();
  startDaemon(c.plan);
  if (c.eventQueued) {
    send(tavuClassEvent("add", "/class/gpio/gpio7", "gpio", 7, 254, 7));
    ASSERT_TRUE(tavuWaitForPath("/dev/gpio/7"));
  }
  ASSERT_TRUE(iv_client.connect());
  ASSERT_TRUE(iv_client.handshake(0));
  if (c.eventQueued && c.status == 255 && std::string(c.plan).find("#2") != std::string::npos) {
    receiveAndAcknowledge();
  }
  EXPECT_EQ(waitForExit(5000), c.status);
  EXPECT_THAT(tavuLinesWith(traceLines(), std::string("tavunetlink_faulty:main: ") + c.report),
              SizeIs(1));
}

INSTANTIATE_TEST_SUITE_P(
    EveryLockCall, DeliveryLoopFailure,
    ::testing::Values(LoopFailure{"pthread_mutex_lock:hpEvQueue@main#1", false, 1,
                                  "Exiting, failed pthread_mutex_lock(hpEvQueue) rc=22"},
                      LoopFailure{"pthread_cond_wait:hpEvQueue@main#1", false, 255,
                                  "Exiting, failed pthread_cond_wait(hpEvQueue) rc=22"},
                      LoopFailure{"pthread_mutex_unlock:hpEvQueue@main#1", true, 255,
                                  "pthread_mutex_unlock(hpEvQueue) failed, rc=1"},
                      LoopFailure{"pthread_mutex_lock:hpEvQueue@main#2", true, 255,
                                  "Exiting, pthread_mutex_lock(hpEvQueue) failed rc=22"}));

struct IntakeFailure {
  const char* name;
  const char* plan;
  bool afterAnEvent;   // the failing call comes with the first datagram
  const char* report;  // printed: no client has connected yet
};
void PrintTo(const IntakeFailure& c, std::ostream* out) {
  *out << c.name;
}

class IntakeFailureEndToEnd : public DaemonEndToEnd,
                              public ::testing::WithParamInterface<IntakeFailure> {};

// Every other fatal end of the reader and the worker (their lock of a queue:
// above): the thread ends at once, the daemon waits for its client all the
// same and ends 255 at the delivery loop's first check, reporting nothing more.
// The worker's first lock and wait are left to its own tests: they can fail
// before the reader has opened its socket, whose descriptor then replaces
// the stop value.
TEST_P(IntakeFailureEndToEnd, ReportedThenTheDaemonEnds255AtTheFirstCheck) {
  const IntakeFailure& c = GetParam();
  ASSERT_TRUE(
      tavuStartDaemon(&iv_daemon, "tavunetlink_faulty", {std::string("TAVU_FAIL=") + c.plan}));
  if (c.afterAnEvent) {
    ASSERT_TRUE(tavuWaitForUeventReader(iv_daemon.daemonPid));
    send(tavuClassEvent("add", "/class/gpio/gpio1", "gpio", 1, 254, 1));
  }
  const std::string expected = std::string("tavunetlink_faulty:") + c.report + "\n";
  for (int i = 0; i < 500 && tavuDaemonOutput(iv_daemon) != expected; ++i) usleep(20 * 1000);
  EXPECT_EQ(tavuDaemonOutput(iv_daemon), expected);
  EXPECT_TRUE(stillRunning(100));
  ASSERT_TRUE(iv_client.connect());
  ASSERT_TRUE(iv_client.handshake(0));
  EXPECT_EQ(waitForExit(), 255);
  EXPECT_EQ(tavuDaemonOutput(iv_daemon), expected);
}

INSTANTIATE_TEST_SUITE_P(
    EveryEnd, IntakeFailureEndToEnd,
    ::testing::Values(
        IntakeFailure{"ReaderSocket", "socket:netlink", false,
                      "tavuMonitorNetlinkSocket: Exiting, socket create failed"},
        IntakeFailure{"ReaderSetsockopt", "setsockopt:netlink", false,
                      "tavuMonitorNetlinkSocket: setsockopt(SO_RCVBUFFORCE) error, errno=1"},
        IntakeFailure{"ReaderBind", "bind:netlink", false,
                      "tavuMonitorNetlinkSocket: Exiting, bind of netlink socket failed"},
        IntakeFailure{"ReaderUnlock", "pthread_mutex_unlock:netlinkDataQueue@reader#1", true,
                      "tavuMonitorNetlinkSocket: Exiting, pthread_mutex_unlock(netlinkDataQueue) "
                      "failed rc=1"},
        IntakeFailure{"WorkerWait", "pthread_cond_wait:netlinkDataQueue@worker#2", true,
                      "tavuMonitorNetlinkEventQueue: Exiting, failed "
                      "pthread_cond_wait(netlinkDataQueue) rc=22"},
        IntakeFailure{"WorkerUnlockAfterTaking", "pthread_mutex_unlock:netlinkDataQueue@worker#1",
                      true,
                      "tavuMonitorNetlinkEventQueue: Exiting, failed "
                      "pthread_mutex_unlock(netlinkDataQueue) rc=1"},
        IntakeFailure{"WorkerUnlockEventQueue", "pthread_mutex_unlock:hpEvQueue@worker#1", true,
                      "tavuMonitorNetlinkEventQueue: Exiting, failed "
                      "pthread_mutex_unlock(hpEvQueue) rc=1"},
        IntakeFailure{"WorkerLockAgain", "pthread_mutex_lock:netlinkDataQueue@worker#2", true,
                      "tavuMonitorNetlinkEventQueue: Exiting, failed "
                      "pthread_mutex_lock(netlinkDataQueue) rc=22"}),
    [](const ::testing::TestParamInfo<IntakeFailure>& info) {
      return std::string(info.param.name);
    });

}  // namespace
