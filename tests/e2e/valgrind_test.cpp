// The daemon under valgrind's memcheck through a whole life: events queued
// before the client and delivered, then the end, by a signal while idle or
// by the fatal end of a thread with records still queued. No memory error in
// any thread, and nothing lost: records left queued stay reachable from the
// queue.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <string>

#include "tests/e2e/e2e_fixture.h"
#include "tests/support/own_sites.h"
#include "tools/tavutrace/trace_render.h"

namespace {

struct ValgrindRun {
  const char* name;
  const char* program;
  const char* faultPlan;  // TAVU_FAIL; empty: none
  bool terminate;         // ended by SIGTERM, else by the fault
  int status;
};
void PrintTo(const ValgrindRun& c, std::ostream* out) {
  *out << c.name;
}

class DaemonUnderValgrind : public DaemonEndToEnd,
                            public ::testing::WithParamInterface<ValgrindRun> {
 protected:
  // tavuStartDaemon runs one program without arguments: a script that
  // execs valgrind on the daemon, which forks under it.
  void startUnderValgrind(const ValgrindRun& c) {
    const std::string script = "/tmp/tavu-valgrind.sh";
    std::ofstream(script) << "#!/bin/sh\n"
                          << "exec " TAVU_VALGRIND
                             " --trace-children=yes --leak-check=full "
                             "--show-leak-kinds=definite,indirect,possible "
                             "--errors-for-leak-kinds=definite,indirect,possible "
                             "--error-exitcode=99 --suppressions=" TAVU_VALGRIND_SUPP
                             " "
                             "--log-file=/tmp/tavu-valgrind.%p.log "
                          << tavuBinDir() << "/" << c.program << "\n";
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    std::vector<std::string> env;
    if (*c.faultPlan != '\0') env.push_back(std::string("TAVU_FAIL=") + c.faultPlan);
    ASSERT_TRUE(tavuStartDaemon(&iv_daemon, script, env));
    ASSERT_EQ(iv_daemon.launcherStatus, 0);
    ASSERT_TRUE(tavuWaitForUeventReader(iv_daemon.daemonPid, 60000));
    iv_log = "/tmp/tavu-valgrind." + std::to_string(iv_daemon.daemonPid) + ".log";
  }

  bool readerEnded() {
    for (int waited = 0; waited < 30000; waited += 50) {
      for (const tavuTraceRecord& record : traceRecords()) {
        if (tavuRenderRecord(record, tavuOwnSites()).find("tavuMonitorNetlinkSocket: Exiting") !=
            std::string::npos) {
          return true;
        }
      }
      usleep(50 * 1000);
    }
    return false;
  }

  std::string iv_log;
};

TEST_P(DaemonUnderValgrind, NoMemoryErrorAndNothingLost) {
  const ValgrindRun& c = GetParam();
  startUnderValgrind(c);
  for (int seq = 1; seq <= 3; ++seq) {
    send(tavuClassEvent("add", "/class/uart/ttyS" + std::to_string(seq), "uart", seq, 4, seq));
  }
  ASSERT_TRUE(tavuWaitForPath("/dev/tts/3", true, 30000));
  ASSERT_TRUE(iv_client.connect(30000));
  ASSERT_TRUE(iv_client.handshake(0));
  ASSERT_TRUE(traceReady(30000));
  for (int seq = 1; seq <= 5; ++seq) {
    if (seq > 3)
      send(tavuClassEvent("remove", "/class/uart/ttyS" + std::to_string(seq - 3), "uart", seq));
    tavuWireEvent event;
    ASSERT_TRUE(iv_client.readEvent(&event, 30000));
    EXPECT_EQ(event.seq, seq);
    ASSERT_TRUE(iv_client.acknowledge(event.header.serialNum));
  }
  if (c.terminate) {
    // Idle: a delivery in hand would leave its buffers to the signal.
    ASSERT_TRUE(iv_client.quietFor(200));
    ASSERT_EQ(kill(iv_daemon.daemonPid, SIGTERM), 0);
  } else {
    // The sixth is never acknowledged, so the seventh and eighth stay
    // queued; the fault ends the reader at the ninth datagram's lock, and
    // the main thread ends the daemon once the delivery in hand is done.
    for (int seq = 6; seq <= 8; ++seq) {
      send(tavuClassEvent("add", "/class/gpio/gpio" + std::to_string(seq), "gpio", seq, 254, seq));
    }
    ASSERT_TRUE(tavuWaitForPath("/dev/gpio/8", true, 30000));
    tavuWireEvent unanswered;
    ASSERT_TRUE(iv_client.readEvent(&unanswered, 30000));
    send(tavuClassEvent("add", "/class/gpio/gpio9", "gpio", 9, 254, 9));
    ASSERT_TRUE(readerEnded());
    ASSERT_TRUE(iv_client.acknowledge(unanswered.header.serialNum));
  }
  EXPECT_EQ(waitForExit(60000), c.status) << "99: valgrind found errors";

  const std::string log = tavuReadFile(iv_log);
  RecordProperty("valgrind", log);
  std::printf("valgrind log of the daemon:\n%s", log.c_str());
  EXPECT_NE(log.find("ERROR SUMMARY: 0 errors from 0 contexts"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, DaemonUnderValgrind,
    ::testing::Values(ValgrindRun{"Terminated", "tavunetlink", "", true, 128 + SIGTERM},
                      ValgrindRun{"ReaderFails", "tavunetlink_faulty",
                                  "pthread_mutex_lock:netlinkDataQueue@reader#9", false, 255}),
    [](const ::testing::TestParamInfo<ValgrindRun>& info) { return std::string(info.param.name); });

}  // namespace
