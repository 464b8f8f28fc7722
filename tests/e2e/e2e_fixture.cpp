#include "tests/e2e/e2e_fixture.h"

#include <linux/netlink.h>
#include <unistd.h>

#include <sstream>

#include "tests/support/own_sites.h"
#include "tools/tavutrace/trace_render.h"

void DaemonEndToEnd::SetUp() {
  tavuRequireSandbox();
  ASSERT_TRUE(iv_kernel.ok()) << "cannot open a uevent socket to play the kernel";
  // Each test starts from an empty /dev below the sandbox's own entries and
  // a fresh trace buffer (the daemon creates it anew).
  ASSERT_EQ(system("find /dev -mindepth 1 -maxdepth 1 ! -name null ! -name zero ! -name random "
                   "! -name urandom ! -name fd ! -name stdin ! -name stdout ! -name stderr "
                   "-exec rm -rf {} +"),
            0);
  unlink(tavuTraceBufferPath("TAVUNL").c_str());
}

void DaemonEndToEnd::TearDown() {
  iv_client.close();
  tavuStopDaemon(&iv_daemon);
}

void DaemonEndToEnd::startDaemon(const std::string& faultPlan) {
  if (faultPlan.empty()) {
    ASSERT_TRUE(tavuStartDaemon(&iv_daemon));
  } else {
    ASSERT_TRUE(tavuStartDaemon(&iv_daemon, "tavunetlink_faulty", {"TAVU_FAIL=" + faultPlan}));
  }
  ASSERT_EQ(iv_daemon.launcherStatus, 0);
  ASSERT_TRUE(tavuWaitForUeventReader(iv_daemon.daemonPid))
      << "the daemon's uevent socket never appeared";
}

void DaemonEndToEnd::send(const std::string& datagram) {
  ASSERT_TRUE(iv_kernel.send(datagram));
  usleep(2000);
}

void DaemonEndToEnd::connectAndHandshake(int32_t serial) {
  ASSERT_TRUE(iv_client.connect()) << "no daemon listening";
  ASSERT_TRUE(iv_client.handshake(serial)) << "handshake refused";
  // The daemon replies before it creates its trace buffer; reports made
  // before that are printed and binary entries dropped, so wait for it.
  ASSERT_TRUE(traceReady(10000)) << "the trace buffer never appeared";
}

bool DaemonEndToEnd::traceReady(int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 5) {
    tavuTraceBuffer buffer;
    std::string error;
    if (tavuReadTraceBufferFile(tavuTraceBufferPath("TAVUNL"), &buffer, &error) &&
        !buffer.records.empty()) {
      return true;
    }
    if (tavuWaitDaemon(&iv_daemon, 0) != -1) return false;
    usleep(5 * 1000);
  }
  return false;
}

tavuWireEvent DaemonEndToEnd::receiveAndAcknowledge() {
  tavuWireEvent event;
  EXPECT_TRUE(iv_client.readEvent(&event)) << "no event message";
  EXPECT_TRUE(iv_client.acknowledge(event.header.serialNum));
  return event;
}

int DaemonEndToEnd::waitForExit(int timeoutMs) {
  return tavuWaitDaemon(&iv_daemon, timeoutMs);
}

bool DaemonEndToEnd::stillRunning(int forMs) {
  return tavuWaitDaemon(&iv_daemon, forMs) == -1;
}

std::vector<tavuTraceRecord> DaemonEndToEnd::traceRecords() {
  tavuTraceBuffer buffer;
  std::string error;
  EXPECT_TRUE(tavuReadTraceBufferFile(tavuTraceBufferPath("TAVUNL"), &buffer, &error)) << error;
  EXPECT_TRUE(buffer.problems.empty()) << buffer.problems.front();
  return buffer.records;
}

std::vector<std::string> DaemonEndToEnd::traceLines() {
  std::vector<std::string> lines;
  std::string all;
  for (const tavuTraceRecord& record : traceRecords()) {
    lines.push_back(tavuRenderRecord(record, tavuOwnSites()));
    all += "  " + lines.back() + "\n";
  }
  // Shown with any failure that follows.
  RecordProperty("trace", all);
  std::printf("trace:\n%s", all.c_str());
  return lines;
}

std::vector<std::string> tavuLinesWith(const std::vector<std::string>& lines,
                                       const std::string& needle) {
  std::vector<std::string> found;
  for (const std::string& line : lines) {
    if (line.find(needle) != std::string::npos) found.push_back(line);
  }
  return found;
}
