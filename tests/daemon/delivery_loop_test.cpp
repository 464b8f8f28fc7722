// The delivery loop in a child process: records go to the client one at a
// time, in order; a null record is reported and skipped; every stop and
// every failed lock call ends the process with its own status.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "client/msg_header.h"
#include "daemon/globals.h"
#include "daemon/startup.h"
#include "devnodes/netlink_event.h"

namespace {

// Commands the test sends to the child's controller thread.
enum : char {
  kPushEvent = 'e',     // append a record and signal
  kPushNull = 'n',      // append a null record and signal
  kSpuriousWake = 'w',  // signal with nothing appended
  kStop = 's',          // store the stop value in g_netlinkSocketFd and signal
  kZeroClient = 'z',    // store 0 in g_clientSockfd and signal
};

tavuNetlinkEvent* makeEvent(int seq) {
  auto* event = new tavuNetlinkEvent;
  event->iv_action = TAVU_ACTION_ADD;
  event->iv_seq = seq;
  event->iv_path = strdup("/class/gpio/gpio1");
  event->iv_type = strdup("gpio");
  return event;
}

void appendAndSignal(tavuNetlinkEvent* event) {
  pthread_mutex_lock(&g_hpEvQueue_mutex);
  g_hpEvQueue.push_back(event);
  pthread_mutex_unlock(&g_hpEvQueue_mutex);
  pthread_cond_signal(&g_hpEvQueue_cond);
}

[[noreturn]] void runChild(int commands, int client) {
  g_progName = "looptest";
  tavuInitQueueLocks();
  g_clientSockfd.store(client);
  g_netlinkSocketFd.store(client);  // any descriptor above 0 will do
  std::thread controller([commands] {
    int seq = 1;
    char command;
    while (read(commands, &command, 1) == 1) {
      switch (command) {
        case kPushEvent:
          appendAndSignal(makeEvent(seq++));
          break;
        case kPushNull:
          appendAndSignal(nullptr);
          break;
        case kSpuriousWake:
          pthread_cond_signal(&g_hpEvQueue_cond);
          break;
        case kStop:
          g_netlinkSocketFd.store(-1);
          pthread_cond_signal(&g_hpEvQueue_cond);
          break;
        case kZeroClient:
          g_clientSockfd.store(0);
          pthread_cond_signal(&g_hpEvQueue_cond);
          break;
      }
    }
  });
  controller.detach();
  tavuRunDeliveryLoop();
}

class DeliveryLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    int commands[2];
    int sockets[2];
    ASSERT_EQ(pipe(commands), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
    iv_output = tmpfile();
    ASSERT_NE(iv_output, nullptr);
    fflush(stdout);
    iv_child = fork();
    ASSERT_GE(iv_child, 0);
    if (iv_child == 0) {
      dup2(fileno(iv_output), 1);
      close(commands[1]);
      close(sockets[0]);
      runChild(commands[0], sockets[1]);
    }
    close(commands[0]);
    close(sockets[1]);
    iv_commands = commands[1];
    iv_client = sockets[0];
  }

  void TearDown() override {
    if (iv_child > 0) {
      kill(iv_child, SIGKILL);
      waitpid(iv_child, nullptr, 0);
    }
    close(iv_commands);
    close(iv_client);
    fclose(iv_output);
  }

  // What the child printed so far.
  std::string printed() {
    std::string text;
    char buffer[1024];
    size_t n;
    rewind(iv_output);
    while ((n = fread(buffer, 1, sizeof buffer, iv_output)) > 0) text.append(buffer, n);
    return text;
  }

  void command(char c) { ASSERT_EQ(write(iv_commands, &c, 1), 1); }

  // Reads one whole message within the time limit; returns its serial
  // number and payload length through the header, -1 on timeout.
  bool readMessage(tavunetlinkMsgHeader* header, int timeoutMs) {
    char buffer[4096];
    size_t have = 0;
    size_t want = sizeof *header;
    while (have < want) {
      pollfd ready{iv_client, POLLIN, 0};
      if (poll(&ready, 1, timeoutMs) != 1) return false;
      const ssize_t n = recv(iv_client, buffer + have, want - have, 0);
      if (n <= 0) return false;
      have += static_cast<size_t>(n);
      if (have == sizeof *header) {
        std::memcpy(header, buffer, sizeof *header);
        want += static_cast<size_t>(header->payloadLength);
      }
    }
    return true;
  }

  bool nothingArrives(int ms) {
    pollfd ready{iv_client, POLLIN, 0};
    return poll(&ready, 1, ms) == 0;
  }

  void acknowledge(const tavunetlinkMsgHeader& header) {
    const tavunetlinkMsgHeader ack{TAVU_MSG_SIGNATURE, header.serialNum, 0};
    ASSERT_EQ(send(iv_client, &ack, sizeof ack, MSG_NOSIGNAL), 12);
  }

  int exitStatus(int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 5) {
      int status = 0;
      if (waitpid(iv_child, &status, WNOHANG) == iv_child) {
        iv_child = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(5000);
    }
    return -1;
  }

  pid_t iv_child = -1;
  FILE* iv_output = nullptr;
  int iv_commands = -1;
  int iv_client = -1;
};

TEST_F(DeliveryLoop, DeliversOneAtATimeInOrderEachAfterThePreviousAcknowledgment) {
  command(kPushEvent);
  command(kPushEvent);
  command(kPushEvent);
  for (int expected = 1; expected <= 3; ++expected) {
    tavunetlinkMsgHeader header{};
    ASSERT_TRUE(readMessage(&header, 5000)) << "message " << expected;
    EXPECT_EQ(header.serialNum, expected);
    EXPECT_TRUE(nothingArrives(200)) << "next message sent before the acknowledgment";
    acknowledge(header);
  }
  EXPECT_EQ(exitStatus(100), -1) << "the loop keeps running";
}

TEST_F(DeliveryLoop, NullRecordIsSkippedAndTheNextIsDelivered) {
  command(kPushNull);
  command(kPushEvent);
  tavunetlinkMsgHeader header{};
  ASSERT_TRUE(readMessage(&header, 5000));
  EXPECT_EQ(header.serialNum, 1) << "the null record used no serial number";
  acknowledge(header);
  EXPECT_EQ(exitStatus(100), -1);
  EXPECT_EQ(printed(),
            "looptest:main: NULL pointer returned by g_hpEvQueue.front(), totalNetlinkEvents: 0, "
            "totalTavuEvents: 0, sentToClient 0\n");
}

TEST_F(DeliveryLoop, SpuriousWakeUpGoesBackToWaiting) {
  command(kSpuriousWake);
  command(kSpuriousWake);
  EXPECT_TRUE(nothingArrives(200));
  EXPECT_EQ(exitStatus(50), -1);
  command(kPushEvent);
  tavunetlinkMsgHeader header{};
  EXPECT_TRUE(readMessage(&header, 5000));
}

TEST_F(DeliveryLoop, StopWhileWaitingEndsWith255AtOnce) {
  command(kStop);
  EXPECT_EQ(exitStatus(5000), 255);
}

TEST_F(DeliveryLoop, ClientDescriptorOfZeroCountsAsNone) {
  command(kZeroClient);
  EXPECT_EQ(exitStatus(5000), 255);
}

TEST_F(DeliveryLoop, StopDuringDeliveryFinishesThatRecordThenEndsWithQueuedOnesAbandoned) {
  command(kPushEvent);
  tavunetlinkMsgHeader header{};
  ASSERT_TRUE(readMessage(&header, 5000));
  command(kPushEvent);
  command(kStop);
  EXPECT_EQ(exitStatus(300), -1) << "the record in flight is still awaiting its acknowledgment";
  acknowledge(header);
  EXPECT_EQ(exitStatus(5000), 255);
  EXPECT_FALSE(readMessage(&header, 100)) << "the queued record is abandoned";
}

}  // namespace
