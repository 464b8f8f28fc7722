// What the one-message-at-a-time rule costs by itself: messages of the
// daemon's size over a Unix stream socket to another process, each waiting
// for its 12-byte acknowledgment, against the same messages streamed with
// one acknowledgment at the end.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "bench/common/bench_clock.h"
#include "bench/driver/measures.h"

namespace {

// Header and payload of a uart event of the workload ("/class/uart/ttyS123").
constexpr size_t TAVU_MESSAGE_BYTES = 12 + 20 + 20 + 5;
constexpr size_t TAVU_ACK_BYTES = 12;

bool tavuReadAll(int fd, char* buffer, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = recv(fd, buffer + done, length - done, 0);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The client's side: acknowledge every message, or only after the last.
[[noreturn]] void tavuAckPeer(int fd, uint32_t messages, bool everyOne) {
  char message[TAVU_MESSAGE_BYTES];
  const char ack[TAVU_ACK_BYTES] = {};
  for (uint32_t i = 0; i < messages; ++i) {
    if (!tavuReadAll(fd, message, sizeof message)) _exit(1);
    if ((everyOne || i + 1 == messages) &&
        send(fd, ack, sizeof ack, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof ack)) {
      _exit(1);
    }
  }
  _exit(0);
}

// Microseconds per message; negative when the exchange failed.
double tavuExchange(uint32_t messages, bool everyOne) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
  const pid_t peer = fork();
  if (peer == 0) {
    close(pair[0]);
    tavuAckPeer(pair[1], messages, everyOne);
  }
  close(pair[1]);
  char message[TAVU_MESSAGE_BYTES];
  char ack[TAVU_ACK_BYTES];
  std::memset(message, 'x', sizeof message);
  bool ok = peer > 0;
  const uint64_t start = tavuBenchNowNs();
  for (uint32_t i = 0; ok && i < messages; ++i) {
    ok = send(pair[0], message, sizeof message, MSG_NOSIGNAL) ==
         static_cast<ssize_t>(sizeof message);
    if (ok && (everyOne || i + 1 == messages)) ok = tavuReadAll(pair[0], ack, sizeof ack);
  }
  const uint64_t end = tavuBenchNowNs();
  close(pair[0]);
  int status = 1;
  if (peer > 0) waitpid(peer, &status, 0);
  if (!ok || status != 0) return -1;
  return static_cast<double>(end - start) / 1000.0 / messages;
}

}  // namespace

bool tavuMeasureAck(tavuBenchContext& context, std::string* error) {
  const double oneAtATime = tavuExchange(context.config.ackMessages, true);
  const double streamed = tavuExchange(context.config.ackMessages, false);
  if (oneAtATime < 0 || streamed < 0) {
    *error = "the acknowledgment exchange over a socket pair failed";
    return false;
  }
  context.results.add(context.run, "ack_each_us", "socket", oneAtATime);
  context.results.add(context.run, "ack_streamed_us", "socket", streamed);
  return true;
}
