// tavunetlink_GetClientConnection in a child process, with this test as
// its client: the handshake and reply on the wire, interrupted calls, and
// clients that must not get through (mismatch reports: handshake_check_test
// and, against the real daemon, client_daemon_test).
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/client_connection.h"
#include "client/event_delivery.h"
#include "daemon/globals.h"
#include "tests/client/client_test_util.h"
#include "tests/support/raw_client.h"
#include "tests/support/test_support.h"

namespace {

constexpr char kReportPrefix[] = "tavunetlink:tavunetlink_GetClientConnection: Exiting, ";

// The daemon's part: connect the client, then deliver `events` records.
// Ends 255 like the daemon when no client was connected.
int serveOneClient(int events) {
  g_progName = "tavunetlink";
  tavunetlink_GetClientConnection();
  if (!tavuDescriptorInUse(g_clientSockfd)) return 255;
  for (int i = 0; i < events; ++i) {
    const std::string path = "/class/uart/ttyS" + std::to_string(i);
    tavuNetlinkEvent record = tavuMakeRecord(1, 100 + i, path.c_str(), "uart");
    tavunetlink_SendToClient(&record);
  }
  return 0;
}

class Connection : public testing::Test {
 protected:
  void SetUp() override { tavuRequireSandbox(); }
  void TearDown() override {
    if (iv_server.pid > 0) tavuFinishChild(&iv_server, nullptr, 1000);
  }

  void startServer(int events, bool interruptible = false) {
    iv_server = tavuStartChild([=] {
      if (interruptible) tavuInterruptOn(SIGUSR1);
      return serveOneClient(events);
    });
    ASSERT_GT(iv_server.pid, 0);
  }

  int finishServer(std::string* output) { return tavuFinishChild(&iv_server, output); }

  tavuChild iv_server;
};

struct GoodCase {
  const char* name;
  int32_t handshake, first, second;
};
void PrintTo(const GoodCase& c, std::ostream* out) {
  *out << c.name;
}

class ConnectionGood : public Connection, public testing::WithParamInterface<GoodCase> {};

TEST_P(ConnectionGood, ReplyEchoesTheHeaderAndEventsCountOnFromIt) {
  const GoodCase& c = GetParam();
  startServer(2);
  tavuRawClient client;
  ASSERT_TRUE(client.connect());
  ASSERT_TRUE(client.sendBytes(tavuHandshakeBytes(c.handshake)));
  const std::string reply = tavuReadBytes(client.fd(), 12);
  EXPECT_EQ(reply, tavuAckBytes(0x12345678, c.handshake, 0));
  for (int32_t serial : {c.first, c.second}) {
    tavuWireEvent event;
    ASSERT_TRUE(client.readEvent(&event));
    EXPECT_EQ(event.header.serialNum, serial);
    ASSERT_TRUE(client.acknowledge(serial));
  }
  std::string output;
  EXPECT_EQ(finishServer(&output), 0);
  EXPECT_EQ(output, "");  // acknowledged as sent: nothing to report
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConnectionGood,
    testing::Values(GoodCase{"FromFortyOne", 41, 42, 43}, GoodCase{"Negative", -7, -6, -5},
                    GoodCase{"LargestWraps", INT32_MAX, INT32_MIN, INT32_MIN + 1}),
    [](const testing::TestParamInfo<GoodCase>& info) { return std::string(info.param.name); });

TEST_F(Connection, NameGivenWithLength20DoesNotReachTheDaemon) {
  startServer(0);
  ASSERT_TRUE(tavuWaitForAbstractName("tavunetlinksocket"));
  errno = 0;
  EXPECT_EQ(tavuConnectClientSocket(20), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  // The daemon still waits for its client, and the full name reaches it.
  const int fd = tavuConnectClientSocket(110);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  const std::string handshake = tavuHandshakeBytes(5);
  ASSERT_EQ(send(fd, handshake.data(), handshake.size(), MSG_NOSIGNAL), 29);
  EXPECT_EQ(tavuReadBytes(fd, 12), tavuAckBytes(0x12345678, 5, 0));
  close(fd);
  EXPECT_EQ(finishServer(nullptr), 0);
}

TEST_F(Connection, SecondClientIsNeverServed) {
  startServer(2);
  tavuRawClient first;
  ASSERT_TRUE(first.connect());
  ASSERT_TRUE(first.handshake(41));
  // The listening socket stays open, so the connection is queued, never accepted.
  const int second = tavuConnectClientSocket(110);
  ASSERT_GE(second, 0) << std::strerror(errno);
  const std::string handshake = tavuHandshakeBytes(100);
  ASSERT_EQ(send(second, handshake.data(), handshake.size(), MSG_NOSIGNAL), 29);
  for (int32_t serial : {42, 43}) {
    tavuWireEvent event;
    ASSERT_TRUE(first.readEvent(&event));
    EXPECT_EQ(event.header.serialNum, serial);
    ASSERT_TRUE(first.acknowledge(serial));
  }
  EXPECT_EQ(tavuReadBytes(second, 1, 300), "");
  EXPECT_EQ(finishServer(nullptr), 0);
  EXPECT_EQ(tavuReadBytes(second, 1, 1000), "");  // and nothing when it ends
  close(second);
}

TEST_F(Connection, TraceOnlyEntriesBeforeAndAfterDiffer) {
  tavuTestTrace trace;  // the child inherits a ready trace buffer
  startServer(0);
  tavuRawClient client;
  ASSERT_TRUE(client.connect());
  ASSERT_TRUE(client.handshake(1));
  EXPECT_EQ(finishServer(nullptr), 0);
  EXPECT_EQ(
      trace.newEntries(),
      (std::vector<std::string>{"tavunetlink:tavunetlink_GetClientConnection: waiting for a client",
                                "tavunetlink:tavunetlink_GetClientConnection: client connected"}));
}

TEST_F(Connection, InterruptedAcceptIsNotRepeated) {
  startServer(0, true);
  ASSERT_TRUE(tavuWaitForAbstractName("tavunetlinksocket"));
  EXPECT_GT(tavuSignalUntilExit(iv_server.pid, SIGUSR1, 50, 10000), 0);
  std::string output;
  EXPECT_EQ(finishServer(&output), 255);
  EXPECT_EQ(output, std::string(kReportPrefix) + "client socket accept error, errno=4\n");
}

TEST_F(Connection, InterruptedHandshakeReceiveIsRepeated) {
  startServer(1, true);
  tavuRawClient client;
  ASSERT_TRUE(client.connect());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(kill(iv_server.pid, SIGUSR1), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  ASSERT_TRUE(client.handshake(41));
  tavuWireEvent event;
  ASSERT_TRUE(client.readEvent(&event));
  EXPECT_EQ(event.header.serialNum, 42);
  ASSERT_TRUE(client.acknowledge(42));
  std::string output;
  EXPECT_EQ(finishServer(&output), 0);
  EXPECT_EQ(output, "");
}

}  // namespace
