// The client channel of the real daemon, in the sandbox: handshake
// failures end it, a second instance cannot bind, the library and tavumon
// receive injected uevents, and wrong acknowledgments are reported through
// the trace without ending the daemon.
#include <linux/netlink.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/tavuclient.h"
#include "tests/client/client_test_util.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/support/own_sites.h"
#include "tests/support/raw_client.h"
#include "tests/support/test_support.h"
#include "tests/support/uevent_sender.h"
#include "tools/tavutrace/trace_render.h"

namespace {

constexpr char kConnectionReport[] = "tavunetlink:tavunetlink_GetClientConnection: Exiting, ";
constexpr char kSendReport[] = "tavunetlink:tavunetlink_SendToClient: ";

// The end-to-end fixture (its /dev and trace buffer cleared) plus tavumon.
class RealDaemon : public DaemonEndToEnd {
 protected:
  void TearDown() override {
    if (iv_tavumon.pid > 0) tavuFinishChild(&iv_tavumon, nullptr, 1000);
    tavuStopDaemon(&iv_second);
    DaemonEndToEnd::TearDown();
  }

  // Started, reading uevents and listening for its client.
  void startListening() {
    startDaemon();
    ASSERT_TRUE(tavuWaitForAbstractName("tavunetlinksocket", 20000)) << "the daemon never listened";
  }

  void injectUart(const char* action, int seq) {
    send(tavuClassEvent(action, "/class/uart/ttyS1", "uart", seq, 4, 65));
  }

  // tavumon of this build, its output kept.
  void startTavumon(const std::vector<std::string>& options) {
    std::vector<std::string> argv = tavuEmulatorPrefix();
    argv.push_back(tavuBinDir() + "/tavumon");
    argv.insert(argv.end(), options.begin(), options.end());
    iv_tavumon = tavuStartChild([argv] {
      std::vector<char*> args;
      args.reserve(argv.size() + 1);
      for (const std::string& word : argv) args.push_back(const_cast<char*>(word.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      return 127;
    });
  }

  // True once tavumon has printed a whole line (within 10 s).
  bool waitForTavumonLine() {
    for (int waited = 0; waited < 10000; waited += 10) {
      if (tavuReadFile(iv_tavumon.outputPath).find('\n') != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // The SendToClient reports of the daemon's trace, without its "sent"
  // entries, once `count` of them are there (or after 10 s).
  std::vector<std::string> sendReports(size_t count) {
    std::vector<std::string> reports;
    for (int waited = 0; waited < 10000; waited += 20) {
      reports.clear();
      tavuTraceBuffer buffer;
      std::string error;
      if (tavuReadTraceBufferFile(tavuTraceBufferPath("TAVUNL"), &buffer, &error)) {
        for (const tavuTraceRecord& record : buffer.records) {
          const std::string text = tavuRenderRecord(record, tavuOwnSites());
          if (text.rfind(kSendReport, 0) == 0 && text.find(": sent ") == std::string::npos) {
            reports.push_back(text.substr(std::strlen(kSendReport)));
          }
        }
      }
      if (reports.size() >= count) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return reports;
  }

  tavuDaemonRun iv_second;
  tavuChild iv_tavumon;
};

struct MismatchCase {
  const char* name;
  std::string write;  // empty: the client closes at once
  std::string report;
};
void PrintTo(const MismatchCase& c, std::ostream* out) {
  *out << c.name;
}

class RealDaemonMismatch : public RealDaemon, public testing::WithParamInterface<MismatchCase> {};

TEST_P(RealDaemonMismatch, ReportedOnStandardOutputAndTheDaemonEnds255) {
  const MismatchCase& c = GetParam();
  startListening();
  tavuRawClient client;
  ASSERT_TRUE(client.connect());
  if (c.write.empty()) {
    client.close();
  } else {
    ASSERT_TRUE(client.sendBytes(c.write));
  }
  EXPECT_EQ(tavuWaitDaemon(&iv_daemon, 20000), 255);
  EXPECT_EQ(tavuDaemonOutput(iv_daemon), kConnectionReport + c.report + "\n");
}

const std::string kText("ready to receive\0", 17);
const std::string kLong = "received message didn't match what is expected, msglength=";

INSTANTIATE_TEST_SUITE_P(
    Cases, RealDaemonMismatch,
    testing::Values(MismatchCase{"TextWithoutNul",
                                 tavuAckBytes(0x12345678, 41, 16) + kText.substr(0, 16),
                                 kLong +
                                     "28, signature=0x12345678, serialnum=41, payloadLength=16, "
                                     "message=ready to receive"},
                    MismatchCase{"HeaderAlone", tavuAckBytes(0x12345678, 41, 17), kLong + "12"},
                    MismatchCase{"ClosedAtOnce", "", kLong + "0"}),
    [](const testing::TestParamInfo<MismatchCase>& info) { return std::string(info.param.name); });

TEST_F(RealDaemon, SecondInstanceFailsAtBindWith98) {
  startListening();
  ASSERT_TRUE(tavuStartDaemon(&iv_second));
  EXPECT_EQ(iv_second.launcherStatus, 0);
  EXPECT_EQ(tavuWaitDaemon(&iv_second, 20000), 255);
  EXPECT_EQ(tavuDaemonOutput(iv_second),
            std::string(kConnectionReport) + "socket bind() failed, errno=98\n");
  EXPECT_EQ(tavuWaitDaemon(&iv_daemon, 100), -1);  // the first one still waits
}

struct SocketFailureCase {
  const char* name;
  const char* plan;  // TAVU_FAIL of the fault-injecting build
  int clientSends;   // bytes of the handshake a client sends; -1: no client
  const char* report;
};
void PrintTo(const SocketFailureCase& c, std::ostream* out) {
  *out << c.name;
}

class RealDaemonSocketFailure : public RealDaemon,
                                public testing::WithParamInterface<SocketFailureCase> {};

TEST_P(RealDaemonSocketFailure, ReportedAndTheDaemonEnds255) {
  const SocketFailureCase& c = GetParam();
  ASSERT_TRUE(
      tavuStartDaemon(&iv_daemon, "tavunetlink_faulty", {std::string("TAVU_FAIL=") + c.plan}));
  if (c.clientSends >= 0) {
    ASSERT_TRUE(iv_client.connect());
  }
  if (c.clientSends > 0) {
    ASSERT_TRUE(iv_client.sendBytes(tavuHandshakeBytes(41).substr(0, c.clientSends)));
  }
  EXPECT_EQ(tavuWaitDaemon(&iv_daemon, 20000), 255);
  EXPECT_EQ(tavuDaemonOutput(iv_daemon),
            std::string("tavunetlink_faulty:tavunetlink_GetClientConnection: Exiting, ") +
                c.report + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RealDaemonSocketFailure,
    testing::Values(
        SocketFailureCase{"Socket", "socket:unix", -1, "socket create failed, errno=24"},
        SocketFailureCase{"Listen", "listen", -1, "socket listen() failed, errno=95"},
        SocketFailureCase{"Accept", "accept", -1, "client socket accept error, errno=103"},
        SocketFailureCase{"HandshakeRecv", "recv:unix", 0, "socket recv() failed, errno=104"},
        SocketFailureCase{"ReplySend", "send:unix", 29, "socket send() failed, errno=32"}),
    [](const testing::TestParamInfo<SocketFailureCase>& info) {
      return std::string(info.param.name);
    });

// The library as a client program uses it, against the daemon.
TEST_F(RealDaemon, LibraryReceivesInjectedEventsInOrder) {
  startListening();
  const int fd = tavuclient_connect();
  ASSERT_GE(fd, 0) << std::strerror(errno);
  ASSERT_EQ(tavuclient_handshake(fd, 41), 0) << std::strerror(errno);
  injectUart("add", 812);
  injectUart("remove", 813);
  tavuclient_event event;
  ASSERT_EQ(tavuclient_receive_event(fd, &event), 1) << std::strerror(errno);
  EXPECT_EQ(event.serial_num, 42);
  EXPECT_EQ(event.action, TAVUCLIENT_ACTION_ADD);
  EXPECT_EQ(event.seq, 812);
  EXPECT_EQ(event.link, 0);
  EXPECT_EQ(event.tlor, 0);
  EXPECT_STREQ(event.path, "/class/uart/ttyS1");
  EXPECT_STREQ(event.type, "uart");
  EXPECT_GT(event.time, 1700000000);
  ASSERT_EQ(tavuclient_acknowledge(fd, &event), 0);
  ASSERT_EQ(tavuclient_receive_event(fd, &event), 1) << std::strerror(errno);
  EXPECT_EQ(event.serial_num, 43);
  EXPECT_EQ(event.action, TAVUCLIENT_ACTION_REMOVE);
  EXPECT_EQ(event.seq, 813);
  ASSERT_EQ(tavuclient_acknowledge(fd, &event), 0);
  EXPECT_EQ(sendReports(0), std::vector<std::string>{});  // both acknowledged as sent
  tavuStopDaemon(&iv_daemon);
  EXPECT_EQ(tavuclient_receive_event(fd, &event), 0);  // the daemon has gone
  close(fd);
}

TEST_F(RealDaemon, TavumonPrintsEachEventAndStopsAfterCount) {
  startListening();
  startTavumon({"--serial", "41", "--count", "2"});
  injectUart("add", 812);
  injectUart("remove", 813);
  std::string output;
  EXPECT_EQ(tavuFinishChild(&iv_tavumon, &output), 0);
  // The time is the daemon's clock: checked for its form, then left out.
  std::istringstream lines(output);
  std::vector<std::string> rest;
  std::string line;
  while (std::getline(lines, line)) {
    ASSERT_EQ(line.compare(0, 5, "time="), 0) << line;
    ASSERT_EQ(line.find("Z action="), 24u) << line;
    rest.push_back(line.substr(26));
  }
  EXPECT_EQ(rest, (std::vector<std::string>{
                      "action=add seq=812 link=0 tlor=0 path=/class/uart/ttyS1 type=uart serial=42",
                      "action=remove seq=813 link=0 tlor=0 path=/class/uart/ttyS1 type=uart "
                      "serial=43"}));
  EXPECT_EQ(tavuWaitDaemon(&iv_daemon, 100), -1);
}

TEST_F(RealDaemon, TavumonJsonAndCleanExitWhenTheDaemonGoes) {
  startListening();
  startTavumon({"--json", "--serial=2147483647"});
  send(tavuUeventDatagram("add@/class/gpio/gpio3",
                          {"ACTION=add", "DEVPATH=/class/gpio/gpio3", "SUBSYSTEM=gpio", "SEQNUM=9",
                           "LINK=2", "TLOR=5", "MAJOR=254", "MINOR=3"}));
  ASSERT_TRUE(waitForTavumonLine());
  tavuStopDaemon(&iv_daemon);
  std::string output;
  EXPECT_EQ(tavuFinishChild(&iv_tavumon, &output), 0);
  const size_t time = output.find(",\"action\"");
  ASSERT_NE(time, std::string::npos) << output;
  EXPECT_EQ(output.substr(0, 30), "{\"serial\":-2147483648,\"time\":1");
  EXPECT_EQ(output.substr(time),
            ",\"action\":\"add\",\"action_code\":1,\"seq\":9,\"link\":2,\"tlor\":5,"
            "\"path\":\"/class/gpio/gpio3\",\"type\":\"gpio\"}\n");
}

struct WrongAckCase {
  const char* name;
  uint32_t signature;
  int32_t serialBack;  // how far below the event's serial the ack's lies
  int32_t length;
  std::string report42, report43;
};
void PrintTo(const WrongAckCase& c, std::ostream* out) {
  *out << c.name;
}

class RealDaemonWrongAck : public RealDaemon, public testing::WithParamInterface<WrongAckCase> {};

// Each wrong acknowledgment is reported and the next event still goes out.
TEST_P(RealDaemonWrongAck, ReportedForEachEventAndTheDaemonGoesOn) {
  const WrongAckCase& c = GetParam();
  startListening();
  connectAndHandshake(41);
  injectUart("add", 812);
  injectUart("remove", 813);
  for (int32_t serial = 42; serial <= 43; ++serial) {
    tavuWireEvent event;
    ASSERT_TRUE(iv_client.readEvent(&event));
    ASSERT_EQ(event.header.serialNum, serial);
    ASSERT_TRUE(iv_client.sendBytes(tavuAckBytes(c.signature, serial - c.serialBack, c.length)));
  }
  EXPECT_EQ(sendReports(2), (std::vector<std::string>{c.report42, c.report43}));
  EXPECT_EQ(tavuWaitDaemon(&iv_daemon, 100), -1);
}

const std::string kMismatch = "Acknowledge message didn't match sent message, ";

INSTANTIATE_TEST_SUITE_P(
    Cases, RealDaemonWrongAck,
    testing::Values(WrongAckCase{"PreviousSerial", 0x12345678, 1, 0,
                                 kMismatch + "signature(exp=0x12345678,act=0x12345678), "
                                             "serialnum(exp=42,act=41), length(exp=0,act=0)",
                                 kMismatch + "signature(exp=0x12345678,act=0x12345678), "
                                             "serialnum(exp=43,act=42), length(exp=0,act=0)"},
                    WrongAckCase{"PayloadLengthOne", 0x12345678, 0, 1,
                                 kMismatch + "signature(exp=0x12345678,act=0x12345678), "
                                             "serialnum(exp=42,act=42), length(exp=0,act=1)",
                                 kMismatch + "signature(exp=0x12345678,act=0x12345678), "
                                             "serialnum(exp=43,act=43), length(exp=0,act=1)"},
                    WrongAckCase{"Signature", 0x87654321, 0, 0,
                                 kMismatch + "signature(exp=0x12345678,act=0x87654321), "
                                             "serialnum(exp=42,act=42), length(exp=0,act=0)",
                                 kMismatch + "signature(exp=0x12345678,act=0x87654321), "
                                             "serialnum(exp=43,act=43), length(exp=0,act=0)"}),
    [](const testing::TestParamInfo<WrongAckCase>& info) { return std::string(info.param.name); });

}  // namespace
