// Clients that misbehave against the real daemon: it keeps /dev in step,
// reports each failed delivery in its trace, and goes on; writing to a
// client that has gone never stops it with SIGPIPE.
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/e2e/e2e_fixture.h"

namespace {

using ::testing::ElementsAre;

enum BadBehaviour {
  NEVER_ACKNOWLEDGES,  // reads the first event and then only waits
  SLOW_ACKNOWLEDGMENTS,
  GARBAGE_ACKNOWLEDGMENT,
  HALF_ACKNOWLEDGMENT_THEN_CLOSE,
  CLOSE_WITH_EVENT_UNREAD,  // the message in flight still in its socket
};

struct BadClient {
  const char* name;
  BadBehaviour behaviour;
  bool getsLaterEvents;
  std::vector<std::string> reports;  // the daemon's delivery reports, in order
};
void PrintTo(const BadClient& c, std::ostream* out) {
  *out << c.name;
}

class BadClientEndToEnd : public DaemonEndToEnd, public ::testing::WithParamInterface<BadClient> {
 protected:
  // Reads an event and checks its serial number and SEQNUM, which agree
  // in this test.
  void expectEvent(int32_t serial) {
    tavuWireEvent event;
    ASSERT_TRUE(iv_client.readEvent(&event, 5000)) << "event " << serial;
    EXPECT_EQ(event.header.serialNum, serial);
    EXPECT_EQ(event.seq, serial);
  }
};

// Each word the same in either byte order.
const char kGarbage[] = "\xee\xee\xee\xee!!!!\x05\x05\x05\x05";

TEST_P(BadClientEndToEnd, DaemonKeepsDevInStepReportsEachFailureAndGoesOn) {
  const BadClient& c = GetParam();
  startDaemon();
  connectAndHandshake(0);
  send(tavuClassEvent("add", "/class/gpio/gpio1", "gpio", 1, 254, 1));
  if (c.behaviour == CLOSE_WITH_EVENT_UNREAD) {
    ASSERT_FALSE(iv_client.quietFor(5000)) << "the first event never came";
    iv_client.close();
  } else {
    expectEvent(1);
  }
  if (c.behaviour == GARBAGE_ACKNOWLEDGMENT) {
    ASSERT_TRUE(iv_client.sendBytes(std::string(kGarbage, 12)));
  } else if (c.behaviour == HALF_ACKNOWLEDGMENT_THEN_CLOSE) {
    const tavunetlinkMsgHeader ack{TAVU_MSG_SIGNATURE, 1, 0};
    ASSERT_TRUE(iv_client.sendBytes(std::string(reinterpret_cast<const char*>(&ack), 6)));
    iv_client.close();
  }

  // Later events change /dev whatever the client does.
  send(tavuClassEvent("add", "/class/gpio/gpio2", "gpio", 2, 254, 2));
  send(tavuClassEvent("remove", "/class/gpio/gpio1", "gpio", 3));
  ASSERT_TRUE(tavuWaitForPath("/dev/gpio/1", false));
  EXPECT_THAT(tavuDevTree(), ElementsAre("c 0640 254:2 /dev/gpio/2", "d 0755 /dev/gpio"));

  if (c.behaviour == NEVER_ACKNOWLEDGES) {
    EXPECT_TRUE(iv_client.quietFor(500)) << "a message came before the acknowledgment";
  } else if (c.behaviour == SLOW_ACKNOWLEDGMENTS) {
    for (int32_t serial = 1; serial <= 3; ++serial) {
      if (serial > 1) expectEvent(serial);
      usleep(300 * 1000);
      ASSERT_TRUE(iv_client.acknowledge(serial));
    }
  } else if (c.getsLaterEvents) {
    for (int32_t serial = 2; serial <= 3; ++serial) {
      expectEvent(serial);
      ASSERT_TRUE(iv_client.acknowledge(serial));
    }
  }
  EXPECT_TRUE(stillRunning(300)) << "status " << waitForExit(0);

  tavuStopDaemon(&iv_daemon);
  const std::vector<std::string> trace = traceLines();
  // Queued for the client whether or not it could take them.
  EXPECT_THAT(tavuLinesWith(trace, "tavuMonitorNetlinkEventQueue: queued "), ::testing::SizeIs(3));
  std::vector<std::string> reports;
  for (const std::string& line : tavuLinesWith(trace, "tavunetlink:tavunetlink_SendToClient: ")) {
    if (line.find(": sent ") == std::string::npos) {
      reports.push_back(line.substr(line.find("tavunetlink_SendToClient: ") + 26));
    }
  }
  EXPECT_EQ(reports, c.reports);
}

const std::string kEpipe = "Send error errno=32, netlinkEvent dropped: iv_action=";

INSTANTIATE_TEST_SUITE_P(
    Cases, BadClientEndToEnd,
    ::testing::Values(
        BadClient{"NeverAcknowledges", NEVER_ACKNOWLEDGES, false, {}},
        BadClient{"SlowAcknowledgments", SLOW_ACKNOWLEDGMENTS, true, {}},
        BadClient{"GarbageAcknowledgment",
                  GARBAGE_ACKNOWLEDGMENT,
                  true,
                  {"Acknowledge message didn't match sent message, "
                   "signature(exp=0x12345678,act=0xeeeeeeee), serialnum(exp=1,act=555819297), "
                   "length(exp=0,act=84215045)"}},
        BadClient{"HalfAcknowledgmentThenClose",
                  HALF_ACKNOWLEDGMENT_THEN_CLOSE,
                  false,
                  {"Acknowledge message length incorrect, expected=12, actual=6",
                   kEpipe + "add, iv_seq=2, iv_type=gpio, iv_path=/class/gpio/gpio2",
                   kEpipe + "rmv, iv_seq=3, iv_type=gpio, iv_path=/class/gpio/gpio1"}},
        BadClient{"CloseWithEventUnread",
                  CLOSE_WITH_EVENT_UNREAD,
                  false,
                  {"Acknowledge message recv error, errno=104, on netlinkEvent sent: "
                   "iv_action=add, iv_seq=1, iv_type=gpio, iv_path=/class/gpio/gpio1",
                   kEpipe + "add, iv_seq=2, iv_type=gpio, iv_path=/class/gpio/gpio2",
                   kEpipe + "rmv, iv_seq=3, iv_type=gpio, iv_path=/class/gpio/gpio1"}}),
    [](const ::testing::TestParamInfo<BadClient>& info) { return std::string(info.param.name); });

}  // namespace
