// libFuzzer target for the client channel as a hostile client drives it:
// the daemon's own tavunetlink_GetClientConnection reads the handshake and
// tavunetlink_SendToClient reads the acknowledgments, over a socket pair.
// The link wraps bind, listen and accept (CMakeLists.txt) so that the
// "accepted" connection is the pair's daemon end and no name is bound.
//
// Input: one flags byte, with FLAG_CONNECTED four bytes of starting serial
// number, then pieces, each a control byte (length in the low six bits,
// PIECE_CLOSE to close after it) and that many bytes. Without
// FLAG_CONNECTED the first piece is all that has arrived when the daemon
// reads the handshake; each further piece arrives before one event is sent,
// and one more event follows the last piece. Whenever the daemon would wait
// for bytes that never come, the client closes instead, so no read blocks.
//
// A model of the stream predicts every outcome: the handshake accepted iff
// its single read took exactly a valid 29-byte handshake, each message's
// serial number, each acknowledgment accepted iff it is exactly the echo of
// that number, and the one report each failure gives. Any difference, and
// any SIGPIPE, aborts as a finding.
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/client_connection.h"
#include "client/event_delivery.h"
#include "client/handshake.h"
#include "client/msg_header.h"
#include "daemon/globals.h"
#include "devnodes/netlink_event.h"

namespace {

constexpr uint8_t FLAG_CONNECTED = 0x01;   // skip the handshake
constexpr uint8_t FLAG_FULL_CLOSE = 0x02;  // close(), else shutdown(SHUT_WR)
constexpr uint8_t PIECE_CLOSE = 0x40;
constexpr uint8_t PIECE_LENGTH = 0x3f;
constexpr int MAX_EVENTS = 16;

constexpr char kPrefix[] = "tavunetlink:";

int g_daemonEnd = -1;
int g_listener = -1;  // the daemon's listening socket, never bound

[[noreturn]] void tavuFinding(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "client fuzz: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
  std::abort();
}

std::string tavuWord(uint32_t value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

std::string tavuHeaderBytes(uint32_t signature, int32_t serial, int32_t payloadLength) {
  return tavuWord(signature) + tavuWord(static_cast<uint32_t>(serial)) +
         tavuWord(static_cast<uint32_t>(payloadLength));
}

std::string tavuValidHandshake(int32_t serial) {
  return tavuHeaderBytes(TAVU_MSG_SIGNATURE, serial, 17) + std::string("ready to receive") + '\0';
}

int32_t tavuLoadSerial(const std::string& bytes) {
  uint32_t serial;
  std::memcpy(&serial, bytes.data() + 4, sizeof serial);
  return static_cast<int32_t>(serial);
}

// Reports go to standard output before the trace buffer exists; it is a
// memory file here, emptied before each call of the daemon's functions.
void tavuClearReports() {
  std::fflush(stdout);
  if (ftruncate(STDOUT_FILENO, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0) {
    tavuFinding("cannot reset the report file");
  }
}

std::string tavuReports() {
  std::fflush(stdout);
  std::string text(static_cast<size_t>(lseek(STDOUT_FILENO, 0, SEEK_CUR)), '\0');
  if (!text.empty() && pread(STDOUT_FILENO, &text[0], text.size(), 0) < 0) text.clear();
  return text;
}

// Reports are compared whole: `expected` empty means none at all.
void tavuExpectReport(const std::string& expected) {
  const std::string got = tavuReports();
  if (got != expected)
    tavuFinding("unexpected report", "expected [" + expected + "] got [" + got + "]");
}

std::string tavuFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string tavuFormat(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

void tavuExpectNoSigpipe() {
  sigset_t pending;
  sigpending(&pending);
  if (sigismember(&pending, SIGPIPE)) tavuFinding("SIGPIPE raised");
}

// Everything the daemon has written to the client so far.
std::string tavuDrain(int client) {
  std::string bytes;
  char chunk[512];
  ssize_t got;
  while ((got = recv(client, chunk, sizeof chunk, MSG_DONTWAIT)) > 0) bytes.append(chunk, got);
  return bytes;
}

// The client's side of the stream and the model of what the daemon has
// not read yet.
struct tavuClientEnd {
  int iv_fd = -1;
  bool iv_fullClose = false;
  bool iv_writeClosed = false;
  bool iv_gone = false;  // closed altogether: sends to it fail with EPIPE
  std::string iv_pending;

  void arrive(const uint8_t* bytes, size_t count) {
    if (iv_writeClosed || count == 0) return;
    if (send(iv_fd, bytes, count, MSG_NOSIGNAL) != static_cast<ssize_t>(count)) {
      tavuFinding("client write failed", std::strerror(errno));
    }
    iv_pending.append(reinterpret_cast<const char*>(bytes), count);
  }

  void closeWriting() {
    if (iv_writeClosed) return;
    iv_writeClosed = true;
    if (iv_fullClose) {
      close(iv_fd);
      iv_fd = -1;
      iv_gone = true;
    } else {
      shutdown(iv_fd, SHUT_WR);
    }
  }

  // A daemon read would wait forever for bytes that never come.
  void closeIfIdle() {
    if (iv_pending.empty()) closeWriting();
  }

  // What one daemon read of at most `most` bytes takes.
  std::string take(size_t most) {
    std::string taken = iv_pending.substr(0, most);
    iv_pending.erase(0, taken.size());
    return taken;
  }
};

struct tavuInput {
  const uint8_t* iv_data;
  size_t iv_size;
  size_t iv_at = 0;

  bool done() const { return iv_at >= iv_size; }

  // The next piece; `close` tells whether the client closes after it.
  std::string piece(bool* close) {
    const uint8_t control = iv_data[iv_at++];
    const size_t length = std::min<size_t>(control & PIECE_LENGTH, iv_size - iv_at);
    *close = (control & PIECE_CLOSE) != 0;
    std::string bytes(reinterpret_cast<const char*>(iv_data + iv_at), length);
    iv_at += length;
    return bytes;
  }
};

void tavuArrive(tavuClientEnd* client, tavuInput* input) {
  bool closeAfter = false;
  const std::string bytes = input->piece(&closeAfter);
  client->arrive(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  if (closeAfter) client->closeWriting();
}

// The handshake's text shown only as far as it arrived, up to its NUL.
std::string tavuMismatchReport(const std::string& read) {
  const std::string start = std::string(kPrefix) +
                            "tavunetlink_GetClientConnection: Exiting, received message didn't "
                            "match what is expected, msglength=" +
                            std::to_string(read.size());
  if (read.size() <= sizeof(tavunetlinkMsgHeader)) return start + "\n";
  uint32_t words[3];
  std::memcpy(words, read.data(), sizeof words);
  const std::string text = read.substr(12);
  return start + tavuFormat(", signature=0x%x, serialnum=%d, payloadLength=%d, message=%s\n",
                            words[0], static_cast<int32_t>(words[1]),
                            static_cast<int32_t>(words[2]), text.c_str());
}

// Returns whether the daemon is now connected to the client.
bool tavuRunHandshake(tavuClientEnd* client, tavuInput* input) {
  if (!input->done()) tavuArrive(client, input);
  client->closeIfIdle();
  const std::string read = client->take(TAVU_HANDSHAKE_SIZE);
  const bool valid =
      read.size() == TAVU_HANDSHAKE_SIZE && read == tavuValidHandshake(tavuLoadSerial(read));

  tavuClearReports();
  tavunetlink_GetClientConnection();
  tavuExpectNoSigpipe();
  const std::string prefix = std::string(kPrefix) + "tavunetlink_GetClientConnection: Exiting, ";
  if (!valid) {
    tavuExpectReport(tavuMismatchReport(read));
  } else if (client->iv_gone) {
    tavuExpectReport(prefix + "socket send() failed, errno=32\n");
  } else {
    tavuExpectReport("");
  }
  if (valid && g_msgSerialNum != tavuLoadSerial(read)) {
    tavuFinding("serial number not taken from the handshake");
  }
  const bool connected = valid && !client->iv_gone;
  if (connected != (g_clientSockfd.load() == g_daemonEnd)) {
    tavuFinding(connected ? "valid handshake refused" : "handshake accepted wrongly",
                std::to_string(read.size()) + " bytes read");
  }
  if (connected && tavuDrain(client->iv_fd) != read.substr(0, 8) + tavuWord(0)) {
    tavuFinding("handshake reply is not the echoed header");
  }
  return connected;
}

void tavuRunEvent(tavuClientEnd* client, tavuNetlinkEvent* record) {
  const int32_t serial = static_cast<int32_t>(static_cast<uint32_t>(g_msgSerialNum) + 1u);
  const int32_t sentBefore = g_sentToClient.load();
  client->closeIfIdle();
  const bool sendable = !client->iv_gone;
  // The daemon reads only once its message is out.
  const std::string ack = sendable ? client->take(sizeof(tavunetlinkMsgHeader)) : "";

  tavuClearReports();
  tavunetlink_SendToClient(record);
  tavuExpectNoSigpipe();
  if (g_msgSerialNum != serial) tavuFinding("serial number not counted on by one");
  if (g_sentToClient.load() != sentBefore + (sendable ? 1 : 0)) tavuFinding("sent count wrong");

  const std::string prefix = std::string(kPrefix) + "tavunetlink_SendToClient: ";
  if (!sendable) {
    tavuExpectReport(prefix +
                     tavuFormat("Send error errno=32, netlinkEvent dropped: iv_action=add, "
                                "iv_seq=%d, iv_type=%s, iv_path=%s\n",
                                record->iv_seq, record->iv_type, record->iv_path));
    return;
  }
  const std::string message = tavuDrain(client->iv_fd);
  const auto payloadLength =
      static_cast<int32_t>(std::strlen(record->iv_path) + std::strlen(record->iv_type) + 22);
  if (message.size() != sizeof(tavunetlinkMsgHeader) + static_cast<size_t>(payloadLength) ||
      message.compare(0, 12, tavuHeaderBytes(TAVU_MSG_SIGNATURE, serial, payloadLength)) != 0) {
    tavuFinding("event message malformed", std::to_string(message.size()) + " bytes");
  }
  if (ack.size() != sizeof(tavunetlinkMsgHeader)) {
    tavuExpectReport(prefix + "Acknowledge message length incorrect, expected=12, actual=" +
                     std::to_string(ack.size()) + "\n");
  } else if (ack != tavuHeaderBytes(TAVU_MSG_SIGNATURE, serial, 0)) {
    uint32_t words[3];
    std::memcpy(words, ack.data(), sizeof words);
    tavuExpectReport(prefix + tavuFormat("Acknowledge message didn't match sent message, "
                                         "signature(exp=0x12345678,act=0x%x), "
                                         "serialnum(exp=%d,act=%d), length(exp=0,act=%d)\n",
                                         words[0], serial, static_cast<int32_t>(words[1]),
                                         static_cast<int32_t>(words[2])));
  } else {
    tavuExpectReport("");
  }
}

void tavuWriteSeed(const std::string& dir, const char* name, const std::string& bytes) {
  const std::string path = dir + "/" + name;
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) tavuFinding("cannot write seed", path);
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

std::string tavuPiece(const std::string& bytes, bool close = false) {
  return std::string(1, static_cast<char>(bytes.size() | (close ? PIECE_CLOSE : 0))) + bytes;
}

// Seeds for -seed_inputs: a handshake and two acknowledgments; handshake
// and first acknowledgment in one write; a serial number that wraps, its
// acknowledgment in two halves.
void tavuWriteSeeds(const std::string& dir) {
  mkdir(dir.c_str(), 0755);
  const std::string ack42 = tavuHeaderBytes(TAVU_MSG_SIGNATURE, 42, 0);
  tavuWriteSeed(dir, "handshake",
                std::string(1, '\0') + tavuPiece(tavuValidHandshake(41)) + tavuPiece(ack42) +
                    tavuPiece(tavuHeaderBytes(TAVU_MSG_SIGNATURE, 43, 0)));
  tavuWriteSeed(dir, "handshake-ack",
                std::string(1, FLAG_FULL_CLOSE) + tavuPiece(tavuValidHandshake(41) + ack42) +
                    tavuPiece("", true));
  const std::string wrapAck = tavuHeaderBytes(TAVU_MSG_SIGNATURE, INT32_MIN, 0);
  tavuWriteSeed(dir, "wrap-halves",
                std::string(1, FLAG_CONNECTED) + tavuWord(INT32_MAX) + tavuPiece(wrapAck) +
                    tavuPiece(wrapAck.substr(0, 6)) + tavuPiece(wrapAck.substr(6)));
}

}  // namespace

// The daemon's listening socket is real but never bound, and the one
// connection it accepts is the pair's daemon end.
extern "C" int __wrap_bind(int fd, const sockaddr*, socklen_t) {
  g_listener = fd;
  return 0;
}

extern "C" int __wrap_listen(int, int) {
  return 0;
}

extern "C" int __wrap_accept(int, sockaddr*, socklen_t*) {
  return g_daemonEnd;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* dir = std::getenv("TAVU_FUZZ_SEED_DIR")) tavuWriteSeeds(dir);
  g_progName = "tavunetlink";
  const int reports = memfd_create("client-fuzz-reports", 0);
  if (reports < 0 || dup2(reports, STDOUT_FILENO) < 0) tavuFinding("cannot capture reports");
  close(reports);
  // Blocked, so that a SIGPIPE stays pending where the check can see it.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  sigprocmask(SIG_BLOCK, &pipe, nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  tavuInput input{data, size, 1};
  const uint8_t flags = data[0];
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) tavuFinding("socketpair failed");
  g_daemonEnd = fds[0];
  // Only a net under the model: a read it did not foresee fails, not hangs.
  const timeval limit{2, 0};
  setsockopt(g_daemonEnd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(g_daemonEnd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  tavuClientEnd client;
  client.iv_fd = fds[1];
  client.iv_fullClose = (flags & FLAG_FULL_CLOSE) != 0;
  g_clientSockfd.store(-1);
  g_sentToClient.store(0);
  g_msgSerialNum = 0;

  bool connected;
  if ((flags & FLAG_CONNECTED) != 0) {
    uint32_t serial = 0;
    std::memcpy(&serial, data + 1, std::min<size_t>(sizeof serial, size - 1));
    input.iv_at += sizeof serial;
    g_msgSerialNum = static_cast<int32_t>(serial);
    g_clientSockfd.store(g_daemonEnd);
    connected = true;
  } else {
    connected = tavuRunHandshake(&client, &input);
  }
  if (connected) {
    tavuNetlinkEvent record;
    record.iv_action = TAVU_ACTION_ADD;
    record.iv_path = strdup("/class/uart/ttyS1");
    record.iv_type = strdup("uart");
    for (int event = 0; event < MAX_EVENTS; ++event) {
      const bool last = input.done();
      if (!last) tavuArrive(&client, &input);
      record.iv_seq = event;
      tavuRunEvent(&client, &record);
      if (last) break;
    }
  }
  close(g_daemonEnd);
  if (client.iv_fd >= 0) close(client.iv_fd);
  if (g_listener >= 0) close(g_listener);
  g_listener = -1;
  g_clientSockfd.store(-1);
  return 0;
}
