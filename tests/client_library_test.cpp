// The client library against a daemon end that sends what a row says,
// malformed messages above all: it must answer, never hang or overrun.

#include <sys/resource.h>

#include "tavu_test.h"
#include "tavuclient.h"

namespace {

// The library's end of a connection whose daemon end has already sent
// `bytes`; then the daemon end closes, resets (closing with our bytes
// unread), stays open, or stays open with nothing more to send: the reply
// to the library's handshake. In PIECES the message comes as the header,
// two bytes and the rest, each a packet a receive takes alone. GONE: the
// daemon end closed before the library's handshake; SILENT: it stays and
// never answers it.
enum tavuEnd { CLOSES, RESETS, STAYS, REPLIES, PIECES, GONE, SILENT };

struct tavuPair {
  int iv_fds[2] = {-1, -1};  // the library's end, the daemon's

  tavuPair(const std::string& bytes, tavuEnd end) {
    socketpair(AF_UNIX, end == PIECES ? SOCK_SEQPACKET : SOCK_STREAM, 0, iv_fds);
    for (size_t at = 0, size; at < bytes.size(); at += size) {
      size = end != PIECES || at >= 14 ? bytes.size() - at : at == 0 ? 12 : 2;
      EXPECT_EQ(write(iv_fds[1], bytes.data() + at, size), static_cast<ssize_t>(size));
    }
    if (end == RESETS) (void)!write(iv_fds[0], "x", 1);
    if (end == CLOSES || end == RESETS || end == GONE) iv_fds[1] = (close(iv_fds[1]), -1);
    if (end == REPLIES) shutdown(iv_fds[0], SHUT_RD);
  }
  ~tavuPair() { (void)(close(iv_fds[0]) + close(iv_fds[1])); }
  int library() const { return iv_fds[0]; }
  std::string sent() const {
    char bytes[64];
    return std::string(bytes,
                       std::max<ssize_t>(0, recv(iv_fds[1], bytes, sizeof bytes, MSG_DONTWAIT)));
  }
};

// An event message for `texts`, the header's length the payload's own unless
// a row says otherwise.
std::string tavuEventMessage(const std::string& texts, int32_t length = 0) {
  std::string payload;
  for (const int32_t number : {1700000000, 2, 812, -3, 7}) payload += tavuWord(number);
  payload += texts;
  return tavuHeader(0x12345678, 42, length != 0 ? length : static_cast<int32_t>(payload.size())) +
         payload;
}

struct tavuCallRow {
  const char* name;
  std::string bytes;
  tavuEnd end;  // REPLIES, GONE, SILENT: the row is the handshake's, else the receive's
  int result;
  int error;  // errno when the result is -1
};

const std::string TAVU_TEXTS("/class/uart/ttyS1\0uart\0", 23);

// clang-format off
const tavuCallRow TAVU_CALL_ROWS[] = {
    {"WholeEvent", tavuEventMessage(TAVU_TEXTS), CLOSES, 1, 0},
    {"EventInPieces", tavuEventMessage(TAVU_TEXTS), PIECES, 1, 0},
    {"BothTextsEmpty", tavuEventMessage(std::string(2, '\0')), CLOSES, 1, 0},
    {"DaemonGone", "", CLOSES, 0, 0},
    {"DaemonGoneWithOurBytesUnread", "", RESETS, 0, 0},
    {"HeaderCutShort", tavuEventMessage(TAVU_TEXTS).substr(0, 5), CLOSES, -1, EPROTO},
    {"ResetInTheMiddle", tavuEventMessage(TAVU_TEXTS).substr(0, 20), RESETS, -1, EPROTO},
    {"PayloadCutShort", tavuEventMessage(TAVU_TEXTS).substr(0, 40), CLOSES, -1, EPROTO},
    {"WrongSignature", tavuEventMessage(TAVU_TEXTS).replace(0, 4, tavuWord(0x7654321)), CLOSES, -1, EPROTO},
    {"PayloadTooShort", tavuEventMessage(std::string(1, '\0')), CLOSES, -1, EPROTO},
    {"PayloadTooLong", tavuEventMessage(TAVU_TEXTS, 20 + 2 * 4096 + 1), STAYS, -1, EPROTO},
    {"NegativeLength", tavuEventMessage(TAVU_TEXTS, -1000), STAYS, -1, EPROTO},
    {"PathWithoutNul", tavuEventMessage("abc"), CLOSES, -1, EPROTO},
    {"TypeEndsEarly", tavuEventMessage(std::string("a\0b\0c\0", 6)), CLOSES, -1, EPROTO},
    {"NoType", tavuEventMessage(std::string("ab\0", 3)), CLOSES, -1, EPROTO},
    {"PathTooLong", tavuEventMessage(std::string(5000, 'p') + std::string("\0t\0", 3)), CLOSES, -1, EPROTO},
    {"HandshakeAccepted", tavuHeader(0x12345678, -9, 0), REPLIES, 0, 0},
    {"HandshakeRefused", "", REPLIES, -1, ECONNRESET},
    {"HandshakeToAGoneDaemon", "", GONE, -1, ECONNRESET},
    {"HandshakeNeverAnswered", "", SILENT, -1, ETIMEDOUT},
    {"RefusedUid", tavuHeader(0x12345678, 65534, -1), REPLIES, -1, EACCES},
    {"RefusedBeforeTheHandshake", tavuHeader(0x12345678, 65534, -1), GONE, -1, EACCES},
    {"ReplyCutShort", tavuHeader(0x12345678, -9, 0).substr(0, 5), REPLIES, -1, EPROTO},
    {"ReplyOfOtherSerial", tavuHeader(0x12345678, 9, 0), REPLIES, -1, EPROTO},
    {"ReplyOfOtherSignature", tavuHeader(0x12345679, -9, 0), REPLIES, -1, EPROTO},
    {"ReplyWithAPayload", tavuHeader(0x12345678, -9, 1), REPLIES, -1, EPROTO},
};
// clang-format on

class ClientCall : public ::testing::TestWithParam<tavuCallRow> {};

TEST_P(ClientCall, AnsweredWithoutOverrun) {
  const tavuCallRow& row = GetParam();
  const tavuPair pair(row.bytes, row.end);
  tavuclient_event event;
  std::memset(&event, 0x5a, sizeof event);
  errno = 0;
  const bool handshake = row.end == REPLIES || row.end == GONE || row.end == SILENT;
  // Bytes already there are read at once: the time limit tells only silence.
  const int result = handshake ? tavuclient_handshake_within(pair.library(), -9, 100)
                               : tavuclient_receive_event(pair.library(), &event);
  EXPECT_EQ(std::make_pair(result, result == -1 ? errno : 0),
            std::make_pair(row.result, row.error));
  // The handshake in one write; a receive sends nothing.
  EXPECT_EQ(pair.sent(), row.end == REPLIES || row.end == SILENT ? tavuHandshake(-9) : "");
  if (handshake || row.result != 1) {
    EXPECT_EQ(event.serial_num, 0x5a5a5a5a) << "event written on failure";
    return;
  }
  EXPECT_EQ(::testing::PrintToString(std::make_tuple(event.serial_num, event.time, event.action,
                                                     event.seq, event.link, event.tlor,
                                                     std::string(event.path) + "|" + event.type)),
            row.bytes.size() > 40 ? "(42, 1700000000, 2, 812, -3, 7, \"/class/uart/ttyS1|uart\")"
                                  : "(42, 1700000000, 2, 812, -3, 7, \"|\")");
}

INSTANTIATE_TEST_SUITE_P(Rows, ClientCall, ::testing::ValuesIn(TAVU_CALL_ROWS),
                         tavuRowName<tavuCallRow>);

// A long event that the daemon's end cannot send at once, read in pieces,
// with the next one behind it: each receive takes its own message's bytes.
TEST(ClientLibrary, EventInPiecesWithTheNextBehindIt) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  const int least = 1;  // the kernel makes it its smallest buffer, a few kB
  ASSERT_EQ(setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &least, sizeof least), 0);
  const std::string path(4095, 'p'), type(3000, 't');
  const std::string both =
      tavuEventMessage(path + '\0' + type + '\0') + tavuEventMessage(TAVU_TEXTS);
  std::thread daemon([&] {
    ssize_t sent = 0;
    for (size_t at = 0; at < both.size() && sent >= 0; at += static_cast<size_t>(sent))
      sent = send(fds[1], &both[at], both.size() - at, MSG_NOSIGNAL);
    shutdown(fds[1], SHUT_WR);  // a receive that took too much finds the end
  });
  tavuclient_event event;
  EXPECT_EQ(tavuclient_receive_event(fds[0], &event), 1);
  EXPECT_EQ(event.path + std::string("|") + event.type, path + "|" + type);
  EXPECT_EQ(tavuclient_receive_event(fds[0], &event), 1);
  EXPECT_EQ(event.path + std::string("|") + event.type, "/class/uart/ttyS1|uart");
  shutdown(fds[0], SHUT_RDWR);  // a sender left blocked by a failure ends
  daemon.join();
  close(fds[0]);
  close(fds[1]);
}

TEST(ClientLibrary, AcknowledgmentEchoesTheSerialOnceOrTellsWhyNot) {
  const tavuPair pair("", STAYS), gone("", CLOSES);
  tavuclient_event event{};
  event.serial_num = INT32_MIN;
  errno = EINTR;  // left over from before: no reason to send again
  ASSERT_EQ(tavuclient_acknowledge(pair.library(), &event), 0);
  EXPECT_EQ(pair.sent(), tavuHeader(0x12345678, INT32_MIN, 0));
  EXPECT_EQ(tavuclient_acknowledge(gone.library(), &event), -1);
  EXPECT_EQ(errno, EPIPE);
}

// No daemon: no connection, and no descriptor left (a call on it fails
// with the C library's error), nor with no descriptor to spare; a listener
// of another user's, who took the daemon's name first, is refused before a
// byte is sent, and named.
TEST(ClientLibrary, ConnectsOnlyToTheDaemon) {
  ASSERT_NO_FATAL_FAILURE(tavuRequireSandbox());
  const auto error = [](int result) { return result == -1 ? errno : -result; };
  const int next = dup(0);
  close(next);
  tavuclient_event event;
  uid_t holder = 0;
  EXPECT_EQ(error(tavuclient_connect()), ECONNREFUSED);
  EXPECT_EQ(error(tavuclient_listener_uid(&holder)), ECONNREFUSED);
  EXPECT_EQ(error(tavuclient_receive_event(next, &event)), EBADF);
  EXPECT_EQ(error(tavuclient_handshake(next, 0)), EBADF);
  rlimit files{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
  const rlimit spent{static_cast<rlim_t>(next), files.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &spent), 0);
  EXPECT_EQ(error(tavuclient_connect()), EMFILE);
  EXPECT_EQ(error(tavuclient_listener_uid(&holder)), EMFILE);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
  sockaddr_un address{AF_UNIX, {}};
  std::memcpy(address.sun_path + 1, "tavunetlinksocket", 17);
  const int impostor = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(seteuid(65534), 0);
  ASSERT_EQ(0, bind(impostor, reinterpret_cast<sockaddr*>(&address), sizeof address) +
                   listen(impostor, 1));
  ASSERT_EQ(seteuid(0), 0);
  EXPECT_EQ(error(tavuclient_connect()), EPERM);
  EXPECT_EQ(tavuclient_listener_uid(&holder), 0);
  EXPECT_EQ(holder, 65534u);
  close(impostor);
}

}  // namespace
