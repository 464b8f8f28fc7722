// Start-up as a user sees it: the launching command returns at once, the
// daemon runs on detached, and every fatal failure prints its text and
// ends the daemon with status 255.
#include <errno.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "daemon/startup.h"
#include "tests/support/test_support.h"

namespace {

struct FatalCase {
  const char* plan;  // TAVU_FAIL for tavunetlink_faulty
  const char* text;  // what the daemon prints after "<name>:main: "
};

const FatalCase kFatalCases[] = {
    {"pthread_mutexattr_init", "Exiting, failed pthread_mutexattr_init\n"},
    {"pthread_mutexattr_settype", "Exiting, failed pthread_mutexattr_settype\n"},
    {"pthread_mutex_init#1", "Exiting, failed pthread_mutex_init(netlinkDataQueue)\n"},
    {"pthread_mutex_init#2", "Exiting, failed pthread_mutex_init(hpEvQueue)\n"},
    {"pthread_cond_init#1", "Exiting, failed pthread_cond_init(netlinkDataQueue)\n"},
    {"pthread_cond_init#2", "Exiting, failed pthread_cond_init(hpEvQueue)\n"},
    {"pthread_attr_init", "Exiting, failed creating thread attributes\n"},
    {"pthread_attr_setdetachstate", "Exiting, failed setting detached state thread attribute\n"},
    {"pthread_create#1", "Exiting, failed creating tavuMonitorNetlinkEventQueue thread\n"},
    {"pthread_create#2", "Exiting, failed creating tavuMonitorNetlinkSocket thread\n"},
};

class StartUp : public ::testing::Test {
 protected:
  void SetUp() override { tavuRequireSandbox(); }
  void TearDown() override { tavuStopDaemon(&iv_run); }
  tavuDaemonRun iv_run;
};

TEST_F(StartUp, EveryFatalFailurePrintsItsTextAndEndsWith255) {
  for (const FatalCase& c : kFatalCases) {
    SCOPED_TRACE(c.plan);
    tavuDaemonRun run;
    ASSERT_TRUE(tavuStartDaemon(&run, "tavunetlink_faulty", {std::string("TAVU_FAIL=") + c.plan}));
    EXPECT_EQ(run.launcherStatus, 0);
    EXPECT_EQ(tavuWaitDaemon(&run, 20000), 255);
    EXPECT_EQ(tavuDaemonOutput(run), std::string("tavunetlink_faulty:main: ") + c.text);
  }
}

TEST_F(StartUp, FailedForkIsReportedByTheLauncherItself) {
  setenv("TAVU_FAIL", "fork", 1);
  std::string output;
  const int status = tavuRunProgram({tavuBinDir() + "/tavunetlink_faulty"}, &output);
  unsetenv("TAVU_FAIL");
  EXPECT_EQ(status, 255);
  EXPECT_EQ(output, "tavunetlink_faulty:main: Exiting, fork failed\n");
}

TEST_F(StartUp, ReportsUnderTheLastPathComponentOrTheBareName) {
  ASSERT_EQ(system("mkdir -p /tmp/x/y"), 0);
  const std::string link = "/tmp/x/y/name";
  unlink(link.c_str());
  ASSERT_EQ(symlink((tavuBinDir() + "/tavunetlink_faulty").c_str(), link.c_str()), 0);
  const std::string expected = "name:main: Exiting, failed creating thread attributes\n";

  tavuDaemonRun byPath;
  ASSERT_TRUE(tavuStartDaemon(&byPath, link, {"TAVU_FAIL=pthread_attr_init"}));
  EXPECT_EQ(tavuWaitDaemon(&byPath, 20000), 255);
  EXPECT_EQ(tavuDaemonOutput(byPath), expected);

  tavuDaemonRun byName;
  ASSERT_TRUE(tavuStartDaemon(&byName, link, {"TAVU_FAIL=pthread_attr_init"}, "name"));
  EXPECT_EQ(tavuWaitDaemon(&byName, 20000), 255);
  EXPECT_EQ(tavuDaemonOutput(byName), expected);
}

std::string statusField(pid_t pid, const std::string& field) {
  const std::string status = tavuReadFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find(field + ":");
  if (at == std::string::npos) return "";
  const size_t start = status.find_first_not_of(" \t", at + field.size() + 1);
  return status.substr(start, status.find('\n', start) - start);
}

TEST_F(StartUp, LauncherReturnsAtOnceWhileTheDaemonRunsOnDetached) {
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(tavuStartDaemon(&iv_run));
  EXPECT_EQ(iv_run.launcherStatus, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  // No client connects, so the daemon waits for one indefinitely.
  EXPECT_EQ(tavuWaitDaemon(&iv_run, 500), -1) << tavuDaemonOutput(iv_run);

  const std::string proc = "/proc/" + std::to_string(iv_run.daemonPid);
  char cwd[256] = {};
  ASSERT_GT(readlink((proc + "/cwd").c_str(), cwd, sizeof cwd - 1), 0);
  EXPECT_STREQ(cwd, "/");
  EXPECT_EQ(statusField(iv_run.daemonPid, "Umask"), "0022");
  EXPECT_EQ(getsid(iv_run.daemonPid), iv_run.daemonPid) << "the daemon leads its own session";
  EXPECT_NE(getsid(iv_run.daemonPid), getsid(0));
  EXPECT_EQ(tavuDaemonOutput(iv_run), "") << "nothing to report while waiting";
}

}  // namespace
