// The delivery loop in a child process: a null record is reported and
// skipped, and every stop ends the process with its own status (one record
// at a time, in order, and the lock failures: daemon_e2e_test).
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "daemon/startup.h"
#include "devnodes/netlink_event.h"
#include "tests/support/raw_client.h"

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

// As the intake threads stop the daemon: under the queue's lock, so the
// signal cannot fall between the loop's check and its wait and be lost.
void stopUnderLock(std::atomic<int32_t>* descriptor, int32_t value) {
  pthread_mutex_lock(&g_hpEvQueue_mutex);
  descriptor->store(value);
  pthread_cond_signal(&g_hpEvQueue_cond);
  pthread_mutex_unlock(&g_hpEvQueue_mutex);
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
          stopUnderLock(&g_netlinkSocketFd, -1);
          break;
        case kZeroClient:
          stopUnderLock(&g_clientSockfd, 0);
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
    iv_client.adopt(sockets[0]);
  }

  void TearDown() override {
    if (iv_child > 0) {
      kill(iv_child, SIGKILL);
      waitpid(iv_child, nullptr, 0);
    }
    close(iv_commands);
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
  tavuRawClient iv_client;
};

TEST_F(DeliveryLoop, NullRecordIsSkippedAndTheNextIsDelivered) {
  command(kPushNull);
  command(kPushEvent);
  tavuWireEvent event;
  ASSERT_TRUE(iv_client.readEvent(&event, 5000));
  EXPECT_EQ(event.header.serialNum, 1) << "the null record used no serial number";
  ASSERT_TRUE(iv_client.acknowledge(1));
  EXPECT_EQ(exitStatus(100), -1);
  EXPECT_EQ(printed(),
            "looptest:main: NULL pointer returned by g_hpEvQueue.front(), totalNetlinkEvents: 0, "
            "totalTavuEvents: 0, sentToClient 0\n");
}

TEST_F(DeliveryLoop, SpuriousWakeUpGoesBackToWaiting) {
  command(kSpuriousWake);
  command(kSpuriousWake);
  EXPECT_TRUE(iv_client.quietFor(200));
  EXPECT_EQ(exitStatus(50), -1);
  command(kPushEvent);
  tavuWireEvent event;
  EXPECT_TRUE(iv_client.readEvent(&event, 5000));
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
  tavuWireEvent event;
  ASSERT_TRUE(iv_client.readEvent(&event, 5000));
  command(kPushEvent);
  command(kStop);
  EXPECT_EQ(exitStatus(300), -1) << "the record in flight is still awaiting its acknowledgment";
  ASSERT_TRUE(iv_client.acknowledge(event.header.serialNum));
  EXPECT_EQ(exitStatus(5000), 255);
  EXPECT_FALSE(iv_client.readEvent(&event, 100)) << "the queued record is abandoned";
}

}  // namespace
