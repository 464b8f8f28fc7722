// The floor program in the sandbox: the nodes it makes and removes, in
// both its forms, and the drops the driver reads off its socket.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/driver/proc_probe.h"
#include "bench/driver/spawn.h"
#include "bench/driver/workload.h"
#include "tests/support/test_support.h"
#include "tests/support/uevent_sender.h"

namespace {

const char kOutput[] = "/tmp/floor.out";

class FloorRun {
 public:
  explicit FloorRun(const std::vector<std::string>& options) {
    std::vector<std::string> argv = tavuEmulatorPrefix();
    argv.push_back(tavuBinDir() + "/tavubench-floor");
    argv.insert(argv.end(), options.begin(), options.end());
    unlink(kOutput);
    iv_pid = tavuSpawn(argv, kOutput);
  }
  ~FloorRun() { tavuKillChild(iv_pid); }
  FloorRun(const FloorRun&) = delete;
  FloorRun& operator=(const FloorRun&) = delete;

  // Waits for the floor's uevent socket.
  bool listening(tavuNetlinkSocketInfo* info) {
    for (int tries = 0; tries < 2000 && iv_pid > 0; ++tries) {
      if (tavuFindUeventSocket(iv_pid, info)) return true;
      tavuSleepMs(5);
    }
    return false;
  }
  // Stops it as the driver does not (SIGTERM) and returns its last words.
  std::string terminate(int* status) {
    kill(iv_pid, SIGTERM);
    *status = tavuWaitChild(iv_pid, 10000);
    iv_pid = -1;
    return tavuReadFile(kOutput);
  }
  pid_t pid() const { return iv_pid; }

 private:
  pid_t iv_pid = -1;
};

struct tavuStep {
  std::string datagram;
  std::string waitFor;  // a path that this step makes, or removes
  bool present;
  std::vector<std::string> tree;
};

std::vector<tavuStep> tavuSteps() {
  return {
      {tavuClassEvent("add", "/class/uart/ttyS1", "uart", 1, 4, 65),
       "/dev/tts/1",
       true,
       {"c 0640 4:65 /dev/tts/1", "d 0755 /dev/tts"}},
      {tavuClassEvent("add", "/class/uart/ttyS2", "uart", 2, 4, 66),
       "/dev/tts/2",
       true,
       {"c 0640 4:65 /dev/tts/1", "c 0640 4:66 /dev/tts/2", "d 0755 /dev/tts"}},
      // Not for the floor: none of these touches /dev. The next step's
      // node shows they were read past.
      {tavuUeventDatagram("change@/class/uart/ttyS3",
                          {"ACTION=change", "DEVPATH=/class/uart/ttyS3", "MAJOR=4", "MINOR=67"}),
       "",
       true,
       {}},
      {tavuClassEvent("add", "/class/uart/ttyS4", "uart", 3), "", true, {}},  // no MAJOR=
      {tavuClassEvent("add", "/devices/link-0/kwb-0.02", "kwb", 4, 9, 9), "", true, {}},
      {tavuClassEvent("add", "/class/gpio/gpio3", "gpio", 5, 254, 3),
       "/dev/gpio/3",
       true,
       {"c 0640 254:3 /dev/gpio/3", "c 0640 4:65 /dev/tts/1", "c 0640 4:66 /dev/tts/2",
        "d 0755 /dev/gpio", "d 0755 /dev/tts"}},
      {tavuClassEvent("remove", "/class/uart/ttyS1", "uart", 6),
       "/dev/tts/1",
       false,
       {"c 0640 254:3 /dev/gpio/3", "c 0640 4:66 /dev/tts/2", "d 0755 /dev/gpio",
        "d 0755 /dev/tts"}},
      {tavuClassEvent("remove", "/class/uart/ttyS2", "uart", 7),
       "/dev/tts",
       false,
       {"c 0640 254:3 /dev/gpio/3", "d 0755 /dev/gpio"}},
      {tavuClassEvent("remove", "/class/gpio/gpio3", "gpio", 8), "/dev/gpio", false, {}},
  };
}

// Leaves /dev as the sandbox made it, whatever a test left behind.
void tavuClearDev() {
  tavuRemoveBenchNodes();
  for (int n = 0; n < 10; ++n) unlink(("/dev/gpio/" + std::to_string(n)).c_str());
  rmdir("/dev/gpio");
}

class FloorSmoke : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { tavuClearDev(); }
  void TearDown() override { tavuClearDev(); }
};

TEST_P(FloorSmoke, KeepsDevInStepWithTheEvents) {
  tavuRequireSandbox();
  std::vector<std::string> options;
  if (GetParam()[0] != '\0') options.push_back(GetParam());
  FloorRun floor(options);
  tavuNetlinkSocketInfo socket;
  ASSERT_TRUE(floor.listening(&socket));
  tavuUeventSender kernel;
  ASSERT_TRUE(kernel.ok());
  for (const tavuStep& step : tavuSteps()) {
    SCOPED_TRACE(step.datagram.substr(0, step.datagram.find('\0')));
    ASSERT_TRUE(kernel.send(step.datagram));
    if (step.waitFor.empty()) continue;
    ASSERT_TRUE(tavuWaitForPath(step.waitFor, step.present));
    EXPECT_EQ(tavuDevTree(), step.tree);
  }
  tavuNetlinkSocketInfo after;
  ASSERT_TRUE(tavuNetlinkSocketByInode(socket.inode, &after));
  EXPECT_EQ(after.drops, 0u);
  int status = -1;
  EXPECT_EQ(floor.terminate(&status),
            "tavubench-floor: 9 datagrams, 6 nodes handled, 0 overruns\n");
  EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(BothForms, FloorSmoke, ::testing::Values("", "--walk"));

using FloorOverrun = FloorSmoke;

TEST_F(FloorOverrun, DropsShowInProcNetNetlinkAndTheFloorGoesOn) {
  tavuRequireSandbox();
  FloorRun floor({"--rcvbuf", "4096"});
  tavuNetlinkSocketInfo socket;
  ASSERT_TRUE(floor.listening(&socket));
  ASSERT_EQ(kill(floor.pid(), SIGSTOP), 0);
  tavuUeventSender kernel;
  const int sent = 200;
  for (int n = 0; n < sent; ++n) {
    ASSERT_TRUE(kernel.send(
        tavuClassEvent("add", "/class/uart/ttyS" + std::to_string(n), "uart", n, 4, n)));
  }
  tavuNetlinkSocketInfo stopped;
  ASSERT_TRUE(tavuNetlinkSocketByInode(socket.inode, &stopped));
  EXPECT_GT(stopped.drops, 0u);
  EXPECT_LT(stopped.drops, static_cast<uint32_t>(sent));
  ASSERT_EQ(kill(floor.pid(), SIGCONT), 0);
  // The kernel drops everything for a socket that overran until its reader
  // has emptied the queue; after that a datagram makes its node again.
  tavuNetlinkSocketInfo now = stopped;
  for (int tries = 0; tries < 2000 && now.rmem != 0; ++tries) {
    tavuSleepMs(5);
    ASSERT_TRUE(tavuNetlinkSocketByInode(socket.inode, &now));
  }
  ASSERT_EQ(now.rmem, 0u);
  tavuSleepMs(20);
  ASSERT_TRUE(kernel.send(tavuClassEvent("add", "/class/gpio/gpio1", "gpio", 999, 254, 1)));
  ASSERT_TRUE(tavuWaitForPath("/dev/gpio/1"));
  int status = -1;
  const std::string last = floor.terminate(&status);
  EXPECT_EQ(status, 0);
  const std::string expected = "tavubench-floor: " + std::to_string(sent - stopped.drops + 1) +
                               " datagrams, " + std::to_string(sent - stopped.drops + 1) +
                               " nodes handled, 1 overruns\n";
  EXPECT_EQ(last, expected);
}

}  // namespace
