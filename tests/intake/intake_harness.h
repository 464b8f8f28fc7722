// The intake threads under test: shared state as start-up leaves it, the
// real reader and worker run as joinable threads, a sender that plays the
// kernel, and standard output captured where reports go before the trace
// buffer exists.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"
#include "tests/support/uevent_sender.h"

// What the tests name the daemon, and the client descriptor they pretend is
// connected (so that a stop that stores -1 in it shows).
constexpr const char* TAVU_TEST_PROGRAM = "tavunetlink";
constexpr int32_t TAVU_TEST_CLIENT_FD = 77;

// Polls `done` every millisecond; false when `timeoutMs` passed first.
bool tavuWaitUntil(const std::function<bool()>& done, int timeoutMs = 10000);

// Joins `thread` unless it is still running after `timeoutMs`.
bool tavuJoinWithin(pthread_t thread, int timeoutMs);

// Appends to g_netlinkDataQueue under its lock, as the reader would; a null
// entry stays null.
void tavuQueueForWorker(const std::vector<const char*>& datagrams);

// The iv_seq of each record in g_hpEvQueue, front first (null: -1).
std::vector<int> tavuQueuedEventSeqs();

// The records on g_netlinkDataQueue, front first, as their bytes.
std::vector<std::string> tavuQueuedDatagrams();

// Both queue locks are free (nobody ended holding one).
::testing::AssertionResult tavuQueueLocksFree();

class tavuIntakeTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  void startWorker();
  // Returns once the reader waits for its first datagram.
  void startReader();
  // True when the thread has ended (and is joined) within the time.
  bool workerEnds(int timeoutMs = 10000);
  bool readerEnds(int timeoutMs = 10000);
  // Ends a running thread the way the daemon would see it end.
  void stopReader();
  void stopWorker();
  pthread_t readerThread() const { return iv_reader; }

  tavuUeventSender iv_sender;

 private:
  pthread_t iv_reader{};
  pthread_t iv_worker{};
  bool iv_readerRunning = false;
  bool iv_workerRunning = false;
};
