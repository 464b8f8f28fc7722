// The whole daemon as a user runs it, in the sandbox: started by its
// command, the kernel played by a uevent sender, the client by a raw
// wire-protocol client, the trace read back after it has ended.
#pragma once

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/raw_client.h"
#include "tests/support/test_support.h"
#include "tests/support/uevent_sender.h"
#include "tools/tavutrace/trace_decode.h"

class DaemonEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the daemon (or the fault-injecting build with TAVU_FAIL=plan).
  void startDaemon(const std::string& faultPlan = "");
  // Sends one datagram, paced so that no burst can overflow the receiver.
  void send(const std::string& datagram);
  // Connects, completes the handshake and waits for the trace buffer.
  void connectAndHandshake(int32_t serial);
  bool traceReady(int timeoutMs);
  // Reads the next event message and acknowledges it.
  tavuWireEvent receiveAndAcknowledge();
  int waitForExit(int timeoutMs = 10000);
  bool stillRunning(int forMs);

  // The trace entries, rendered, oldest first; the daemon should have ended.
  std::vector<std::string> traceLines();
  std::vector<tavuTraceRecord> traceRecords();

  tavuDaemonRun iv_daemon;
  tavuUeventSender iv_kernel;
  tavuRawClient iv_client;
};

// Lines of `lines` that contain `needle`.
std::vector<std::string> tavuLinesWith(const std::vector<std::string>& lines,
                                       const std::string& needle);
