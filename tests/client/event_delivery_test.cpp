// tavunetlink_SendToClient over a socket pair: the message on the wire and
// the acknowledgment failures only a socket pair can stage (serial numbers:
// client_connection_test; wrong acknowledgments: client_daemon_test).
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/event_delivery.h"
#include "daemon/globals.h"
#include "tests/client/client_test_util.h"

namespace {

constexpr char kPrefix[] = "tavunetlink:tavunetlink_SendToClient: ";
constexpr char kSent[] = "tavunetlink:tavunetlink_SendToClient: sent ";
constexpr char kMismatch[] =
    "tavunetlink:tavunetlink_SendToClient: Acknowledge message didn't match sent message, ";

std::string sentEntry(const char* word, int seq, const char* type, const char* path, int sent) {
  return std::string(kSent) + word + " seq=" + std::to_string(seq) + " type=" + type +
         " path=" + path +
         ", totalNetlinkEvents=5, totalTavuEvents=3, sentToClient=" + std::to_string(sent);
}

class Delivery : public testing::Test {
 protected:
  void SetUp() override {
    g_progName = "tavunetlink";
    g_msgSerialNum = 41;
    g_sentToClient.store(0);
    g_totalNetlinkEvents.store(5);
    g_totalTavuEvents.store(3);
    connectPair();
  }

  void TearDown() override {
    closePair();
    g_clientSockfd.store(-1);
  }

  void connectPair() {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    iv_daemon = fds[0];
    iv_client = fds[1];
    g_clientSockfd.store(iv_daemon);
  }

  void closePair() {
    if (iv_daemon >= 0) close(iv_daemon);
    if (iv_client >= 0) close(iv_client);
    iv_daemon = iv_client = -1;
  }

  void clientWrites(const std::string& bytes) {
    ASSERT_EQ(send(iv_client, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }

  // One whole event message: header, then as many bytes as it announces.
  std::string clientReadsMessage() {
    std::string message = tavuReadBytes(iv_client, 12, 5000);
    if (message.size() < 12) return message;
    int32_t length = 0;
    std::memcpy(&length, message.data() + 8, 4);
    return message + tavuReadBytes(iv_client, static_cast<size_t>(length), 5000);
  }

  int32_t serialOf(const std::string& message) {
    int32_t serial = 0;
    if (message.size() >= 8) std::memcpy(&serial, message.data() + 4, 4);
    return serial;
  }

  void deliver(int32_t action, int32_t seq, const char* path = "/class/uart/ttyS1",
               const char* type = "uart") {
    tavuNetlinkEvent record = tavuMakeRecord(action, seq, path, type);
    tavunetlink_SendToClient(&record);
  }

  tavuTestTrace iv_trace;
  int iv_daemon = -1;
  int iv_client = -1;
};

TEST_F(Delivery, MessageIsHeaderThenPayloadWithTextsAt32And43) {
  clientWrites(tavuAckBytes(0x12345678, 42, 0));
  deliver(1, 812, "0123456789", "abc");
  const std::string message = clientReadsMessage();
  ASSERT_EQ(message.size(), 47u);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  EXPECT_EQ(message.substr(0, 4), "\x12\x34\x56\x78");
#else
  EXPECT_EQ(message.substr(0, 4), "\x78\x56\x34\x12");
#endif
  const std::string expected = tavuHostWord(0x12345678) + tavuHostWord(42) + tavuHostWord(35) +
                               tavuHostWord(1769860800) + tavuHostWord(1) + tavuHostWord(812) +
                               tavuHostWord(0) + tavuHostWord(0) +
                               std::string("0123456789\0abc\0", 15);
  EXPECT_EQ(message, expected);
  EXPECT_EQ(g_msgSerialNum, 42);
  EXPECT_EQ(g_sentToClient.load(), 1);
  EXPECT_EQ(iv_trace.newEntries(),
            std::vector<std::string>{sentEntry("add", 812, "abc", "0123456789", 1)});
}

TEST_F(Delivery, BytesBeyondTwelveStartTheNextAcknowledgment) {
  clientWrites(tavuAckBytes(0x12345678, 42, 0) + tavuHostWord(0x12345678));
  deliver(1, 1);
  clientWrites(tavuAckBytes(0x12345678, 43, 0));
  deliver(1, 2);
  // The second receive took the stray word and the first 8 bytes of the
  // real acknowledgment.
  EXPECT_EQ(iv_trace.newEntries(),
            (std::vector<std::string>{
                sentEntry("add", 1, "uart", "/class/uart/ttyS1", 1),
                sentEntry("add", 2, "uart", "/class/uart/ttyS1", 2),
                std::string(kMismatch) +
                    "signature(exp=0x12345678,act=0x12345678), serialnum(exp=43,act=305419896), "
                    "length(exp=0,act=43)"}));
}

// A SIGPIPE would end this test program: its default action stays in force.
TEST_F(Delivery, ClientGoneGivesLengthZeroThenEpipeWithoutSigpipe) {
  ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL);
  clientWrites(tavuAckBytes(0x12345678, 42, 0));
  deliver(1, 6);
  ASSERT_EQ(shutdown(iv_client, SHUT_WR), 0);
  deliver(1, 7);  // in flight when the client leaves
  close(iv_client);
  iv_client = -1;
  deliver(2, 8);
  deliver(0, 9);
  EXPECT_EQ(
      iv_trace.newEntries(),
      (std::vector<std::string>{
          sentEntry("add", 6, "uart", "/class/uart/ttyS1", 1),
          sentEntry("add", 7, "uart", "/class/uart/ttyS1", 2),
          std::string(kPrefix) + "Acknowledge message length incorrect, expected=12, actual=0",
          std::string(kPrefix) + "Send error errno=32, netlinkEvent dropped: "
                                 "iv_action=rmv, iv_seq=8, iv_type=uart, iv_path=/class/uart/ttyS1",
          std::string(kPrefix) +
              "Send error errno=32, netlinkEvent dropped: "
              "iv_action=rmv, iv_seq=9, iv_type=uart, iv_path=/class/uart/ttyS1"}));
  EXPECT_EQ(g_sentToClient.load(), 2);  // failed sends are not counted
  EXPECT_EQ(g_msgSerialNum, 45);        // but their numbers are used
  EXPECT_EQ(g_clientSockfd.load(), iv_daemon);
}

// Interrupted while waiting for the acknowledgment, the receive is made
// again; the acknowledgment that then arrives passes.
TEST_F(Delivery, InterruptedAcknowledgmentReceiveIsRepeated) {
  tavuInterruptOn(SIGUSR1);
  const pthread_t deliverer = pthread_self();
  std::thread client([&] {
    const std::string message = clientReadsMessage();  // the send is done
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      pthread_kill(deliverer, SIGUSR1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    clientWrites(tavuAckBytes(0x12345678, serialOf(message), 0));
  });
  deliver(1, 5);
  client.join();
  signal(SIGUSR1, SIG_DFL);
  EXPECT_EQ(iv_trace.newEntries(),
            std::vector<std::string>{sentEntry("add", 5, "uart", "/class/uart/ttyS1", 1)});
}

}  // namespace
