// The client library over socket pairs: what it writes, how it reads a
// stream that arrives in pieces, and every malformed message it refuses.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/tavuclient.h"
#include "tests/client/client_test_util.h"

namespace {

std::string word(int32_t value) {
  return tavuHostWord(static_cast<uint32_t>(value));
}

std::string headerBytes(uint32_t signature, int32_t serial, int32_t length) {
  return tavuAckBytes(signature, serial, length);
}

// An event message as the daemon frames it.
std::string eventMessage(int32_t serial, const std::string& texts, int32_t time = 1769860800,
                         int32_t action = 1, int32_t seq = 812, int32_t link = 3,
                         int32_t tlor = -4) {
  const std::string payload =
      word(time) + word(action) + word(seq) + word(link) + word(tlor) + texts;
  return headerBytes(0x12345678, serial, static_cast<int32_t>(payload.size())) + payload;
}

class Library : public testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    iv_daemon = fds[0];
    iv_client = fds[1];
  }
  void TearDown() override {
    if (iv_daemon >= 0) close(iv_daemon);
    close(iv_client);
  }

  void daemonWrites(const std::string& bytes) {
    ASSERT_EQ(send(iv_daemon, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }

  // Whatever the client has written so far.
  std::string daemonReadsAvailable() {
    std::string bytes;
    char buffer[256];
    ssize_t n;
    while ((n = recv(iv_daemon, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) bytes.append(buffer, n);
    return bytes;
  }

  int iv_daemon = -1;
  int iv_client = -1;
};

TEST_F(Library, HandshakeIsTwentyNineBytesAndTheEchoedReplyPasses) {
  daemonWrites(headerBytes(0x12345678, 41, 0));
  ASSERT_EQ(tavuclient_handshake(iv_client, 41), 0);
  EXPECT_EQ(daemonReadsAvailable(),
            headerBytes(0x12345678, 41, 17) + std::string("ready to receive\0", 17));
}

struct ReplyCase {
  const char* name;
  std::string reply;
  bool daemonStopsWriting;
  int error;
};
void PrintTo(const ReplyCase& c, std::ostream* out) {
  *out << c.name;
}

class LibraryHandshakeReply : public Library, public testing::WithParamInterface<ReplyCase> {};

TEST_P(LibraryHandshakeReply, RefusedWithItsErrno) {
  const ReplyCase& c = GetParam();
  if (!c.reply.empty()) daemonWrites(c.reply);
  if (c.daemonStopsWriting) {
    ASSERT_EQ(shutdown(iv_daemon, SHUT_WR), 0);
  }
  errno = 0;
  EXPECT_EQ(tavuclient_handshake(iv_client, 41), -1);
  EXPECT_EQ(errno, c.error) << std::strerror(errno);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LibraryHandshakeReply,
    testing::Values(ReplyCase{"OtherSerial", headerBytes(0x12345678, 42, 0), false, EPROTO},
                    ReplyCase{"OtherSignature", headerBytes(0x87654321, 41, 0), false, EPROTO},
                    ReplyCase{"PayloadFollows", headerBytes(0x12345678, 41, 5), false, EPROTO},
                    ReplyCase{"CutShort", headerBytes(0x12345678, 41, 0).substr(0, 5), true,
                              EPROTO},
                    ReplyCase{"DaemonEndedWithoutReply", "", true, ECONNRESET}),
    [](const testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

TEST_F(Library, HandshakeToAClosedSocketGivesEpipeNotSigpipe) {
  ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL);  // a SIGPIPE would end this program
  close(iv_daemon);
  iv_daemon = -1;
  errno = 0;
  EXPECT_EQ(tavuclient_handshake(iv_client, 1), -1);
  EXPECT_EQ(errno, EPIPE);
}

struct PiecesCase {
  const char* name;
  std::vector<size_t> pieces;  // sizes; the last piece takes the rest
};
void PrintTo(const PiecesCase& c, std::ostream* out) {
  *out << c.name;
}

class LibraryPieces : public Library, public testing::WithParamInterface<PiecesCase> {};

TEST_P(LibraryPieces, MessageArrivingInPiecesIsReadWhole) {
  const std::string message = eventMessage(7, std::string("/class/gpio/gpio3\0gpio\0", 23));
  std::thread writer([&] {
    size_t at = 0;
    for (size_t i = 0; at < message.size(); ++i) {
      const size_t size = i < GetParam().pieces.size() ? GetParam().pieces[i] : message.size() - at;
      daemonWrites(message.substr(at, size));
      at += size;
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  });
  tavuclient_event event;
  const int rc = tavuclient_receive_event(iv_client, &event);
  writer.join();
  ASSERT_EQ(rc, 1);
  EXPECT_EQ(event.serial_num, 7);
  EXPECT_EQ(event.time, 1769860800);
  EXPECT_EQ(event.action, TAVUCLIENT_ACTION_ADD);
  EXPECT_EQ(event.seq, 812);
  EXPECT_EQ(event.link, 3);
  EXPECT_EQ(event.tlor, -4);
  EXPECT_STREQ(event.path, "/class/gpio/gpio3");
  EXPECT_STREQ(event.type, "gpio");
}

INSTANTIATE_TEST_SUITE_P(Cases, LibraryPieces,
                         testing::Values(PiecesCase{"ByteByByte", std::vector<size_t>(100, 1)},
                                         PiecesCase{"HeaderThenPayload", {12}},
                                         PiecesCase{"SplitInsideHeaderAndTexts", {5, 9, 20, 1}}),
                         [](const testing::TestParamInfo<PiecesCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(Library, BackToBackMessagesAreTakenOneAtATime) {
  daemonWrites(eventMessage(1, std::string("/a\0t\0", 5)) +
               eventMessage(2, std::string("/bb\0uu\0", 7), 5, 0, 0, 0, 0));
  tavuclient_event first, second;
  ASSERT_EQ(tavuclient_receive_event(iv_client, &first), 1);
  ASSERT_EQ(tavuclient_receive_event(iv_client, &second), 1);
  EXPECT_EQ(first.serial_num, 1);
  EXPECT_STREQ(first.path, "/a");
  EXPECT_EQ(second.serial_num, 2);
  EXPECT_EQ(second.action, TAVUCLIENT_ACTION_NONE);
  EXPECT_STREQ(second.path, "/bb");
  EXPECT_STREQ(second.type, "uu");
}

TEST_F(Library, LongestTextsThatFitAreAccepted) {
  const std::string path(TAVUCLIENT_TEXT_MAX - 1, 'p');
  const std::string type(TAVUCLIENT_TEXT_MAX - 1, 't');
  const std::string message = eventMessage(3, path + '\0' + type + '\0');
  ASSERT_EQ(message.size(), 12u + TAVUCLIENT_PAYLOAD_MAX);
  daemonWrites(message);
  auto* event = new tavuclient_event;
  EXPECT_EQ(tavuclient_receive_event(iv_client, event), 1);
  EXPECT_EQ(event->path, path);
  EXPECT_EQ(event->type, type);
  delete event;
}

struct MalformedCase {
  const char* name;
  std::string bytes;  // then the daemon stops writing
  int result;         // 0: the daemon is gone; -1: EPROTO
};
void PrintTo(const MalformedCase& c, std::ostream* out) {
  *out << c.name;
}

class LibraryMalformed : public Library, public testing::WithParamInterface<MalformedCase> {};

TEST_P(LibraryMalformed, RefusedAndTheEventIsLeftAlone) {
  const MalformedCase& c = GetParam();
  if (!c.bytes.empty()) daemonWrites(c.bytes);
  ASSERT_EQ(shutdown(iv_daemon, SHUT_WR), 0);
  tavuclient_event event;
  std::memset(&event, 0x5a, sizeof event);
  const tavuclient_event before = event;
  errno = 0;
  EXPECT_EQ(tavuclient_receive_event(iv_client, &event), c.result);
  if (c.result == -1) {
    EXPECT_EQ(errno, EPROTO) << std::strerror(errno);
  }
  EXPECT_EQ(std::memcmp(&event, &before, sizeof event), 0);
}

const std::string kNumbers = word(1) + word(1) + word(1) + word(1) + word(1);

INSTANTIATE_TEST_SUITE_P(
    Cases, LibraryMalformed,
    testing::Values(
        MalformedCase{"NothingAtAll", "", 0},
        MalformedCase{"HeaderCutShort", headerBytes(0x12345678, 1, 22).substr(0, 5), -1},
        MalformedCase{"WrongSignature",
                      headerBytes(0x87654321, 1, 22) + kNumbers + std::string(2, '\0'), -1},
        MalformedCase{"PayloadLength21", headerBytes(0x12345678, 1, 21) + kNumbers + '\0', -1},
        MalformedCase{"PayloadLengthNegative", headerBytes(0x12345678, 1, -22), -1},
        MalformedCase{"PayloadLengthBeyondTheMaximum",
                      headerBytes(0x12345678, 1, TAVUCLIENT_PAYLOAD_MAX + 1), -1},
        MalformedCase{"PayloadCutShort", headerBytes(0x12345678, 1, 40) + kNumbers + "/x", -1},
        MalformedCase{"PathWithoutNul", headerBytes(0x12345678, 1, 22) + kNumbers + "xx", -1},
        MalformedCase{"TypeWithoutNul",
                      headerBytes(0x12345678, 1, 25) + kNumbers + std::string("/p\0tt", 5), -1},
        MalformedCase{"OneTextOnly",
                      headerBytes(0x12345678, 1, 23) + kNumbers + std::string("/p\0", 3), -1},
        MalformedCase{"BytesAfterTheType",
                      headerBytes(0x12345678, 1, 26) + kNumbers + std::string("/p\0t\0z", 6), -1},
        MalformedCase{"PathTooLongForTheEvent",
                      eventMessage(1, std::string(TAVUCLIENT_TEXT_MAX, 'p') + '\0' + "t" + '\0'),
                      -1}),
    [](const testing::TestParamInfo<MalformedCase>& info) { return std::string(info.param.name); });

TEST_F(Library, AcknowledgmentEchoesTheSerialNumberWithLengthZero) {
  tavuclient_event event{};
  event.serial_num = -17;
  ASSERT_EQ(tavuclient_acknowledge(iv_client, &event), 0);
  EXPECT_EQ(daemonReadsAvailable(), headerBytes(0x12345678, -17, 0));
}

TEST(LibraryActionName, EveryCode) {
  EXPECT_STREQ(tavuclient_action_name(TAVUCLIENT_ACTION_ADD), "add");
  EXPECT_STREQ(tavuclient_action_name(TAVUCLIENT_ACTION_REMOVE), "remove");
  EXPECT_STREQ(tavuclient_action_name(TAVUCLIENT_ACTION_NONE), "none");
  EXPECT_STREQ(tavuclient_action_name(3), "unknown");
  EXPECT_STREQ(tavuclient_action_name(-1), "unknown");
}

}  // namespace
