// The client library against a daemon end that sends what a row says,
// malformed messages above all: it must answer, never hang or overrun.

#include <sys/ioctl.h>
#include <sys/resource.h>

#include "tavu_test.h"
#include "tavuclient.h"

namespace {

// The library's end of a connection whose daemon end has already sent
// `bytes`; then the daemon end closes, resets (closing with our bytes
// unread), stays open (the library's receives then give up at once on
// what does not come), or stays open with nothing more to send: the reply
// to the library's handshake. In PIECES a header and 2 bytes come first,
// the rest once the library has read them, then the daemon end closes.
// GONE: the daemon end closed before the library's handshake; SILENT: it
// stays and never answers it (receives give up then too).
enum tavuEnd { CLOSES, RESETS, STAYS, REPLIES, PIECES, GONE, SILENT };

struct tavuPair {
  int iv_fds[2] = {-1, -1};  // the library's end, the daemon's
  std::thread iv_daemon;

  tavuPair(const std::string& bytes, tavuEnd end) {
    socketpair(AF_UNIX, SOCK_STREAM, 0, iv_fds);
    const size_t first = end == PIECES ? 14 : bytes.size();
    EXPECT_EQ(write(iv_fds[1], bytes.data(), first), static_cast<ssize_t>(first));
    if (end == PIECES) {
      iv_daemon = std::thread([this, rest = bytes.substr(first)] {
        int unread = 0;
        tavuAwait("the library has read the bytes before",
                  [&] { return ioctl(iv_fds[0], FIONREAD, &unread) == 0 && unread == 0; });
        EXPECT_EQ(write(iv_fds[1], rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
        shutdown(iv_fds[1], SHUT_WR);
      });
    }
    if (end == RESETS) (void)!write(iv_fds[0], "x", 1);
    if (end == CLOSES || end == RESETS || end == GONE) iv_fds[1] = (close(iv_fds[1]), -1);
    if (end == REPLIES) shutdown(iv_fds[0], SHUT_RD);
    const timeval patience{0, 1000};  // for bytes that never come: no hang
    if (end == STAYS || end == SILENT)
      setsockopt(iv_fds[0], SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  }
  ~tavuPair() {
    if (iv_daemon.joinable()) iv_daemon.join();
    (void)(close(iv_fds[0]) + close(iv_fds[1]));
  }
  int library() const { return iv_fds[0]; }
  std::string sent() const {
    char bytes[64];
    return std::string(bytes,
                       std::max<ssize_t>(0, recv(iv_fds[1], bytes, sizeof bytes, MSG_DONTWAIT)));
  }
};

// A call's errno when it failed as it should, returning -1; else minus what it returned.
int tavuError(int result) {
  return result == -1 ? errno : -result;
}

// An event message for `texts`.
std::string tavuEventMessage(const std::string& texts) {
  std::string payload;
  for (const int32_t number : {1700000000, 2, 812, -3, 7}) payload += tavuWord(number);
  return tavuHeader(0x12345678, 42, static_cast<int32_t>(payload.size() + texts.size())) + payload +
         texts;
}

struct tavuCallRow {
  const char* name;
  std::string bytes;
  tavuEnd end;  // REPLIES, GONE, SILENT: the row is the handshake's, else the receives'
  int error;    // of the handshake, or of the receive after the last event; 0: it returned 0
  std::string events{};  // "path|type" of each event received, one space between
};

const std::string TAVU_TEXTS("/class/uart/ttyS1\0uart\0", 23), TAVU_PATH(4095, 'p'),
    TAVU_TYPE(3000, 't');

// clang-format off
const tavuCallRow TAVU_CALL_ROWS[] = {
    {"BothTextsEmpty", tavuEventMessage(std::string(2, '\0')), CLOSES, 0, "|"},
    {"LongestPathInPiecesThenTheNextEvent", tavuEventMessage(TAVU_PATH + '\0' + TAVU_TYPE + '\0') + tavuEventMessage(TAVU_TEXTS), PIECES, 0, TAVU_PATH + "|" + TAVU_TYPE + " /class/uart/ttyS1|uart"},
    {"DaemonGoneWithOurBytesUnread", "", RESETS, 0},
    {"HeaderCutShort", tavuEventMessage(TAVU_TEXTS).substr(0, 5), CLOSES, EPROTO},
    {"ResetInTheMiddle", tavuEventMessage(TAVU_TEXTS).substr(0, 20), RESETS, EPROTO},
    {"WrongSignature", tavuEventMessage(TAVU_TEXTS).replace(0, 4, tavuWord(0x7654321)), CLOSES, EPROTO},
    {"PayloadTooShort", tavuEventMessage(std::string(1, '\0')), CLOSES, EPROTO},
    {"PayloadTooLong", tavuHeader(0x12345678, 42, 20 + 2 * 4096 + 1), STAYS, EPROTO},
    {"PayloadNeverComes", tavuEventMessage(TAVU_TEXTS).substr(0, 20), STAYS, EAGAIN},
    {"PathWithoutNul", tavuEventMessage("abc"), CLOSES, EPROTO},
    {"TypeEndsEarly", tavuEventMessage(std::string("a\0b\0c\0", 6)), CLOSES, EPROTO},
    {"NoType", tavuEventMessage(std::string("ab\0", 3)), CLOSES, EPROTO},
    {"PathTooLong", tavuEventMessage(std::string(5000, 'p') + std::string("\0t\0", 3)), CLOSES, EPROTO},
    {"HandshakeAccepted", tavuHeader(0x12345678, -9, 0), REPLIES, 0},
    {"HandshakeToAGoneDaemon", "", GONE, ECONNRESET},
    {"HandshakeNeverAnswered", "", SILENT, ETIMEDOUT},
    {"RefusedUid", tavuHeader(0x12345678, 65534, -1), REPLIES, EACCES},
    {"RefusedBeforeTheHandshake", tavuHeader(0x12345678, 65534, -1), GONE, EACCES},
    {"ReplyCutShort", tavuHeader(0x12345678, -9, 0).substr(0, 5), REPLIES, EPROTO},
    {"ReplyOfOtherSerial", tavuHeader(0x12345678, 9, 0), REPLIES, EPROTO},
    {"ReplyOfOtherSignature", tavuHeader(0x12345679, -9, 0), REPLIES, EPROTO},
    {"ReplyWithAPayload", tavuHeader(0x12345678, -9, 1), REPLIES, EPROTO},
};
// clang-format on

class ClientCall : public ::testing::TestWithParam<tavuCallRow> {};

TEST_P(ClientCall, AnsweredWithoutOverrun) {
  const tavuCallRow& row = GetParam();
  const tavuPair pair(row.bytes, row.end);
  tavuclient_event event;
  std::memset(&event, 0x5a, sizeof event);
  const bool handshake = row.end == REPLIES || row.end == GONE || row.end == SILENT;
  std::string events;
  errno = EINTR;  // left over from before: no reason to send or receive again
  // Bytes already there are read at once: a time limit of none tells only silence.
  int result = handshake ? tavuclient_handshake_within(pair.library(), -9, 0) : 1;
  while (!handshake && (result = tavuclient_receive_event(pair.library(), &event)) == 1) {
    EXPECT_EQ(::testing::PrintToString(std::make_tuple(event.serial_num, event.time, event.action,
                                                       event.seq, event.link, event.tlor)),
              "(42, 1700000000, 2, 812, -3, 7)");
    events += (events.empty() ? "" : " ") + std::string(event.path) + "|" + event.type;
  }
  EXPECT_EQ(tavuError(result), row.error);
  EXPECT_EQ(events, row.events);
  EXPECT_EQ(event.serial_num, events.empty() ? 0x5a5a5a5a : 42) << "event written on failure";
  // The handshake in one write; a receive sends nothing.
  EXPECT_EQ(pair.sent(), row.end == REPLIES || row.end == SILENT ? tavuHandshake(-9) : "");
}

INSTANTIATE_TEST_SUITE_P(Rows, ClientCall, ::testing::ValuesIn(TAVU_CALL_ROWS),
                         tavuRowName<tavuCallRow>);

TEST(ClientLibrary, AcknowledgmentEchoesTheSerialOnce) {
  const tavuPair pair("", STAYS);
  tavuclient_event event{};
  event.serial_num = INT32_MIN;
  errno = EINTR;  // left over from before: no reason to send again
  ASSERT_EQ(tavuclient_acknowledge(pair.library(), &event), 0);
  EXPECT_EQ(pair.sent(), tavuHeader(0x12345678, INT32_MIN, 0));
}

// No daemon, though another listens on a name the daemon's begins: no
// connection, and no descriptor left (a call on it fails with the C
// library's error), nor with no descriptor to spare. A listener of another
// user's, who took the daemon's name first and never accepts, is refused
// and named every time, and never connected to: the kernel names it (Unix
// socket diagnostics). Where it does not (before Linux 5.3, and under
// qemu-user), the listener's own credentials refuse it once, its queue then
// is full, and it cannot be named.
TEST(ClientLibrary, ConnectsOnlyToTheDaemon) {
  ASSERT_NO_FATAL_FAILURE(tavuRequireSandbox());
  const sockaddr_un other{AF_UNIX, "\0tavunetlinksocket2"};
  const int decoy = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(bind(decoy, reinterpret_cast<const sockaddr*>(&other), sizeof other) + listen(decoy, 0),
            0);
  const int next = dup(0);
  close(next);
  tavuclient_event event{};
  uid_t holder = 0;
  EXPECT_EQ(tavuError(tavuclient_connect()), ECONNREFUSED);
  EXPECT_EQ(tavuError(tavuclient_listener_uid(&holder)), ECONNREFUSED);
  EXPECT_EQ(tavuError(tavuclient_receive_event(next, &event)), EBADF);
  EXPECT_EQ(tavuError(tavuclient_handshake(next, 0)), EBADF);
  EXPECT_EQ(tavuError(tavuclient_acknowledge(next, &event)), EBADF);
  rlimit files{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
  const rlimit spent{static_cast<rlim_t>(next), files.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &spent), 0);
  EXPECT_EQ(tavuError(tavuclient_connect()), EMFILE);
  EXPECT_EQ(tavuError(tavuclient_listener_uid(&holder)), EMFILE);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
  sockaddr_un address{AF_UNIX, {}};
  std::memcpy(address.sun_path + 1, "tavunetlinksocket", 17);
  ASSERT_EQ(seteuid(65534), 0);
  const int squatter = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
  ASSERT_EQ(0, bind(squatter, reinterpret_cast<sockaddr*>(&address), sizeof address) +
                   listen(squatter, 0));
  ASSERT_EQ(seteuid(0), 0);
  const bool told = tavuEnv("TAVU_EMULATOR").empty();  // qemu-user translates no sock_diag
  for (int run = 0; run < 3; ++run) {
    const int held = tavuclient_connect(), refused = errno,
              named = tavuclient_listener_uid(&holder);
    EXPECT_EQ(std::make_tuple(held, refused, named, named == 0 ? static_cast<int>(holder) : errno),
              told ? std::make_tuple(-1, EPERM, 0, 65534)
                   : std::make_tuple(-1, run == 0 ? EPERM : EAGAIN, -1, EAGAIN));
  }
  EXPECT_TRUE(!told || accept(squatter, nullptr, nullptr) == -1) << "connected to";
  EXPECT_EQ(fcntl(squatter + 1, F_GETFD), -1) << "a descriptor left open";
  (void)(close(squatter) + close(decoy));
}

}  // namespace
