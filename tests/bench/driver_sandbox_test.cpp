// The driver's instruments against a real subject in the sandbox: a trial
// counts the floor's nodes, drops and time from tavuinject's own send
// times, and the subject's threads are found and timed.
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "bench/common/bench_clock.h"
#include "bench/driver/burst_trial.h"
#include "bench/driver/spawn.h"
#include "bench/driver/subject.h"
#include "bench/driver/workload.h"
#include "tests/support/test_support.h"

namespace {

class DriverInSandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    tavuRequireSandbox();
    iv_config.binDir = tavuBinDir();
    iv_config.workDir = "/tmp/tavubench-test";
    mkdir(iv_config.workDir.c_str(), 0755);
    std::string error;
    ASSERT_TRUE(tavuWriteEventFiles(iv_config, &error)) << error;
    ASSERT_TRUE(iv_watcher.start(TAVU_BENCH_NODE_DIR, 1000, &error)) << error;
  }
  void TearDown() override {
    tavuStopSubject(&iv_subject);
    tavuRemoveBenchNodes();
  }
  // The floor as the driver runs it, under the emulator when cross-built.
  bool startFloor() {
    const std::vector<std::string> emulator = tavuEmulatorPrefix();
    if (!emulator.empty()) return false;  // the driver runs natively only
    std::string error;
    const bool started =
        tavuStartSubject(iv_config, TAVU_SUBJECT_FLOOR, false, &iv_subject, &error);
    EXPECT_TRUE(started) << error;
    return started;
  }
  tavuBenchConfig iv_config;
  tavuBenchResults iv_results;
  tavuNodeWatcher iv_watcher;
  tavuSubject iv_subject;
};

TEST_F(DriverInSandbox, ATrialCountsTheFloorsNodesAndTheTimeFromTheFirstSend) {
  if (!startFloor()) GTEST_SKIP() << "the benchmark driver runs natively only";
  tavuBenchContext context{iv_config, iv_results, iv_watcher, 0};
  tavuTrial adds, removes;
  std::string error;
  const uint64_t before = tavuBenchNowNs();
  ASSERT_TRUE(tavuRunTrial(context, &iv_subject, TAVU_EVENTS_ADD, 200, 0, 200, &adds, &error))
      << error;
  EXPECT_EQ(adds.sent, 200u);
  EXPECT_EQ(adds.drops, 0u);
  EXPECT_EQ(adds.after.present - adds.before.present, 200u);
  EXPECT_GT(adds.firstNs, before);
  EXPECT_GT(adds.after.lastChangeNs, adds.firstNs);
  EXPECT_EQ(adds.acked, 0u);  // no client
  struct stat info {};
  ASSERT_EQ(stat("/dev/tts/199", &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode));
  ASSERT_EQ(adds.spent.size(), 1u);
  EXPECT_EQ(adds.spent[0].name, "floor");
  EXPECT_GT(adds.spent[0].spent.cpuNs, 0u);

  ASSERT_TRUE(tavuRunTrial(context, &iv_subject, TAVU_EVENTS_REMOVE, 200, 0, 0, &removes, &error))
      << error;
  EXPECT_EQ(removes.after.present, 0u);
  // Its directory goes right after the last node.
  EXPECT_TRUE(tavuWaitForPath(TAVU_BENCH_NODE_DIR, false, 2000));
  EXPECT_GT(removes.firstNs, adds.after.lastChangeNs);
}

TEST_F(DriverInSandbox, APacedTrialKnowsWhenEachDatagramWasSent) {
  if (!startFloor()) GTEST_SKIP() << "the benchmark driver runs natively only";
  tavuBenchContext context{iv_config, iv_results, iv_watcher, 0};
  tavuTrial paced;
  std::string error;
  ASSERT_TRUE(tavuRunTrial(context, &iv_subject, TAVU_EVENTS_ADD, 20, 1000, 20, &paced, &error))
      << error;
  ASSERT_EQ(paced.sendNs.size(), 20u);
  EXPECT_EQ(paced.firstNs, paced.sendNs[0]);
  uint64_t previous = 0;
  for (uint32_t seq = 0; seq < 20; ++seq) {
    const uint64_t sent = paced.sendNs[seq];
    EXPECT_GT(sent, previous) << seq;
    previous = sent;
  }
  // Paced at 1,000 a second the 20 sends span about 19 ms; unpaced they
  // would take well under one.
  const uint64_t span = paced.sendNs[19] - paced.sendNs[0];
  EXPECT_GT(span, 15000000u);
  EXPECT_LT(span, 200000000u);
}

TEST_F(DriverInSandbox, TavuinjectRefusesATimestampsFileItCannotWrite) {
  std::string output;
  EXPECT_EQ(tavuRunProgram({tavuBinDir() + "/tavuinject", "ACTION=add", "DEVPATH=/class/uart/ttyS1",
                            "--timestamps", "/nonexistent/times"},
                           &output),
            2)
      << output;
}

TEST_F(DriverInSandbox, OnlyTheDaemonsReaderRunsAtRealTimeAndThePlainSubjectLowersIt) {
  if (!tavuEmulatorPrefix().empty()) GTEST_SKIP() << "the benchmark driver runs natively only";
  for (const tavuSubjectKind kind : {TAVU_SUBJECT_DAEMON, TAVU_SUBJECT_DAEMON_PLAIN}) {
    const std::string name = tavuSubjectName(kind);
    SCOPED_TRACE(name);
    std::string error;
    ASSERT_TRUE(tavuStartSubject(iv_config, kind, true, &iv_subject, &error)) << error;
    ASSERT_TRUE(iv_subject.log);
    EXPECT_EQ(iv_subject.log->state(), TAVU_CLIENT_CONNECTED);
    const bool readerRaised = kind == TAVU_SUBJECT_DAEMON;
    // A sanitizer runtime may add threads between main and worker.
    std::vector<std::string> names;
    for (const tavuThreadTime& time : tavuSubjectTimes(iv_subject)) {
      SCOPED_TRACE(time.name);
      names.push_back(time.name);
      const bool raised = readerRaised && time.name == name + ".reader";
      EXPECT_EQ(sched_getscheduler(time.tid), raised ? SCHED_FIFO : SCHED_OTHER);
    }
    ASSERT_GE(names.size(), 4u);
    EXPECT_EQ(names.front(), name + ".main");
    const std::vector<std::string> last(names.end() - 3, names.end());
    EXPECT_EQ(last,
              (std::vector<std::string>{name + ".worker", name + ".reader", name + ".client"}));
    tavuStopSubject(&iv_subject);
  }
}

TEST_F(DriverInSandbox, ASubjectThatCannotStartLeavesNothingRunning) {
  iv_config.binDir = "/nonexistent";
  std::string error;
  EXPECT_FALSE(tavuStartSubject(iv_config, TAVU_SUBJECT_FLOOR, false, &iv_subject, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(iv_subject.pid, -1);
}

}  // namespace
