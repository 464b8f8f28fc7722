// tavuinject as a program, in the sandbox: what a receiving uevent socket
// gets byte for byte, its exit statuses, and its refusals.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/netlink.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

using namespace std::string_literals;

// Runs tavuinject with `args`; `inChild` runs in the child before exec.
tavuProgramRun runInject(const std::vector<std::string>& args,
                         const std::function<bool()>& inChild = nullptr) {
  return tavuRunBuilt("tavuinject", args, inChild);
}

// A listener on multicast group 1, as the daemon's reader is.
class Receiver {
 public:
  Receiver() {
    iv_fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    sockaddr_nl self{};
    self.nl_family = AF_NETLINK;
    self.nl_pid = 0x20000000u + static_cast<uint32_t>(getpid());
    self.nl_groups = 1;
    if (iv_fd >= 0 && bind(iv_fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
      close(iv_fd);
      iv_fd = -1;
    }
  }
  ~Receiver() {
    if (iv_fd >= 0) close(iv_fd);
  }
  bool ok() const { return iv_fd >= 0; }
  // Everything already queued on the socket, oldest first.
  std::vector<std::string> drain() {
    std::vector<std::string> got;
    char buffer[8192];
    ssize_t n;
    while ((n = recv(iv_fd, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0) {
      got.emplace_back(buffer, static_cast<size_t>(n));
    }
    return got;
  }

 private:
  int iv_fd = -1;
};

class TavuInject : public ::testing::Test {
 protected:
  void SetUp() override {
    tavuRequireSandbox();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(iv_receiver.ok()) << std::strerror(errno);
  }
  static std::string writeFile(const std::string& name, const std::string& bytes) {
    std::string path = "/tmp/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  Receiver iv_receiver;
};

const std::regex kSummary(R"(sent (\d+) datagrams, (\d+) bytes in \d+\.\d{3} s\n)");

TEST_F(TavuInject, CommandLineEventArrivesAsTheKernelWouldSendIt) {
  const tavuProgramRun run = runInject({"ACTION=add", "DEVPATH=/class/uart/ttyS1", "SUBSYSTEM=uart",
                                        "SEQNUM=1", "MAJOR=4", "MINOR=65"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  const std::string expected =
      "add@/class/uart/ttyS1\0ACTION=add\0DEVPATH=/class/uart/ttyS1\0SUBSYSTEM=uart\0SEQNUM=1\0"
      "MAJOR=4\0MINOR=65\0"s;
  EXPECT_EQ(iv_receiver.drain(), std::vector<std::string>{expected});
  std::smatch match;
  ASSERT_TRUE(std::regex_match(run.err, match, kSummary)) << run.err;
  EXPECT_EQ(match[1], "1");
  EXPECT_EQ(match[2], std::to_string(expected.size()));
}

TEST_F(TavuInject, FileEventsRepeatedWithTheCounterArriveInOrder) {
  const std::string path = writeFile("events.txt",
                                     "# a port and its removal\n"
                                     "ACTION=add\nDEVPATH=/class/gpio/gpio{n}\nSEQNUM={n}\n\n"
                                     "@header remove@gpio{n}\nACTION=remove\n");
  const tavuProgramRun run = runInject({"--file", path, "--repeat", "3", "--first", "7"});
  EXPECT_EQ(run.status, 0) << run.err;
  std::vector<std::string> expected;
  for (int n = 7; n < 10; ++n) {
    const std::string k = std::to_string(n);
    std::string add = "add@/class/gpio/gpio" + k;
    add += "\0ACTION=add\0DEVPATH=/class/gpio/gpio"s;
    add += k;
    add += "\0SEQNUM="s;
    add += k;
    add.push_back('\0');
    expected.push_back(add);
    std::string remove = "remove@gpio" + k;
    remove += "\0ACTION=remove\0"s;
    expected.push_back(remove);
  }
  EXPECT_EQ(iv_receiver.drain(), expected);
  EXPECT_TRUE(std::regex_match(run.err, kSummary)) << run.err;
}

TEST_F(TavuInject, RawBytesArriveExactly) {
  const std::string bytes = "add@\0\xff\x01 no final NUL"s;
  const std::string path = writeFile("raw.bin", "\0\0x\0"s);
  EXPECT_EQ(runInject({"--raw-hex", "61:64:64:40 00 ff 01 20 6e6f2066696e616c204e554c"}).status, 0);
  EXPECT_EQ(runInject({"--raw-file", path}).status, 0);
  EXPECT_EQ(runInject({"--no-final-nul", "--no-header", "A=1", "B=2"}).status, 0);
  EXPECT_EQ(iv_receiver.drain(), (std::vector<std::string>{bytes, "\0\0x\0"s, "A=1\0B=2"s}));
}

TEST_F(TavuInject, EmptyDatagramIsRefusedByTheKernelAndReportedAsASendFailure) {
  const tavuProgramRun run = runInject({"--raw-hex", ""});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(
      run.err.find("send of datagram 0 to group 1 failed: " + std::string(std::strerror(ENODATA))),
      std::string::npos)
      << run.err;
  EXPECT_TRUE(std::regex_search(run.err, std::regex("sent 0 datagrams, 0 bytes"))) << run.err;
  EXPECT_TRUE(iv_receiver.drain().empty());
}

TEST_F(TavuInject, PacedRepeatTakesItsTimeAndJsonSaysSo) {
  const tavuProgramRun run =
      runInject({"--json", "--rate", "200", "-n", "20", "--no-header", "X={n}"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(
      run.out, match,
      std::regex(R"(\{"datagrams":20,"bytes":(\d+),"seconds":([0-9.]+),"status":0\}\n)")))
      << run.out;
  // Nineteen gaps of 5 ms.
  EXPECT_GE(std::stod(match[2]), 0.095 - 0.002);
  EXPECT_EQ(iv_receiver.drain().size(), 20u);
}

TEST_F(TavuInject, OtherGroupDoesNotReachAGroupOneListener) {
  EXPECT_EQ(runInject({"--group", "2", "--no-header", "X=1"}).status, 0);
  EXPECT_TRUE(iv_receiver.drain().empty());
}

TEST_F(TavuInject, DryRunShowsEveryDatagramAndSendsNothing) {
  const tavuProgramRun run =
      runInject({"--dry-run", "-n", "2", "ACTION=add", "DEVPATH=/class/jtag/jtag{n}"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "add@/class/jtag/jtag0\\0ACTION=add\\0DEVPATH=/class/jtag/jtag0\\0\n"
            "add@/class/jtag/jtag1\\0ACTION=add\\0DEVPATH=/class/jtag/jtag1\\0\n");
  EXPECT_TRUE(iv_receiver.drain().empty());
}

TEST_F(TavuInject, HelpAndBadUsage) {
  const tavuProgramRun help = runInject({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* part :
       {"Usage: tavuinject", "@header TEXT", "Exit status:", "--allow-host-namespace"}) {
    EXPECT_NE(help.out.find(part), std::string::npos) << part;
  }
  const struct {
    std::vector<std::string> args;
    const char* message;
  } bad[] = {
      {{}, "tavuinject: nothing to send"},
      {{"--repeat", "many", "A=1"}, "tavuinject: --repeat needs a whole number"},
      {{"ACTION=add"}, "tavuinject: event has no ACTION= and DEVPATH="},
      {{"--file", "/tmp/does-not-exist"}, "tavuinject: cannot read '/tmp/does-not-exist'"},
      {{"--raw-hex", "4"}, "tavuinject: --raw-hex: odd number of hex digits"},
  };
  for (const auto& c : bad) {
    const tavuProgramRun run = runInject(c.args);
    EXPECT_EQ(run.status, 2) << c.message;
    EXPECT_EQ(run.err.rfind(c.message, 0), 0u) << run.err;
    EXPECT_EQ(run.out, "");
  }
  EXPECT_TRUE(iv_receiver.drain().empty());
}

TEST_F(TavuInject, RefusesWhereTheInitialNamespacesSysctlsShow) {
  // In a mount namespace of its own, the child sees /proc/sys/net/core as
  // the initial network namespace shows it.
  const std::string fake = "/tmp/host-net-core";
  ASSERT_EQ(mkdir(fake.c_str(), 0755) == 0 || errno == EEXIST, true);
  std::ofstream(fake + "/somaxconn") << "4096\n";
  std::ofstream(fake + "/netdev_max_backlog") << "1000\n";
  const auto looksLikeTheHost = [&] {
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount(fake.c_str(), "/proc/sys/net/core", nullptr, MS_BIND, nullptr) == 0;
  };
  const tavuProgramRun refused = runInject({"ACTION=add", "DEVPATH=/a"}, looksLikeTheHost);
  EXPECT_EQ(refused.status, 3) << refused.err;
  EXPECT_EQ(refused.err.rfind("tavuinject: refusing to send from the host's initial network "
                              "namespace",
                              0),
            0u)
      << refused.err;
  EXPECT_TRUE(iv_receiver.drain().empty());

  const tavuProgramRun allowed =
      runInject({"--allow-host-namespace", "ACTION=add", "DEVPATH=/a"}, looksLikeTheHost);
  EXPECT_EQ(allowed.status, 0) << allowed.err;
  EXPECT_EQ(iv_receiver.drain().size(), 1u);
}

TEST_F(TavuInject, WithoutPrivilegeSaysSoAndExitsWith3) {
  const auto nobody = [] {
    return setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
  };
  const tavuProgramRun run = runInject({"ACTION=add", "DEVPATH=/a"}, nobody);
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_NE(run.err.find(std::strerror(EPERM)), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("needs CAP_NET_ADMIN"), std::string::npos) << run.err;
  EXPECT_TRUE(iv_receiver.drain().empty());
}

}  // namespace
