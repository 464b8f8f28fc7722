// tavuinject as a program in the sandbox: the exact datagrams that a
// uevent listener on group 1 receives, and its exit statuses.
#include <fcntl.h>
#include <grp.h>
#include <linux/netlink.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

using namespace std::string_literals;

// What the child does, in the scratch directory, before it becomes tavuinject.
using Child = bool (*)();
const Child PLAIN = nullptr;

bool stdinFromEvents() {
  return dup2(open("EVENTS", O_RDONLY), 0) == 0;
}
// The child sees `core` as /proc/sys/net/core, through a mount namespace of its own.
bool netCoreFrom(const char* core) {
  return unshare(CLONE_NEWNS) == 0 &&
         mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount(core, "/proc/sys/net/core", nullptr, MS_BIND, nullptr) == 0;
}
bool hostNetCore() {
  return netCoreFrom("host");
}
bool emptyNetCore() {
  return netCoreFrom("empty");
}
bool nobody() {
  return setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
}

struct Row {
  const char* name;
  std::vector<std::string> args;  // run in the scratch directory
  Child child;
  int status;
  std::vector<std::string> received;
  std::string out;
  std::string errStart;
  double minSeconds;  // the summary's time
};

const std::string kAdd0 =
    "add@/class/gpio/gpio0\0ACTION=add\0DEVPATH=/class/gpio/gpio0\0SEQNUM=0\0"s;
const std::string kAdd1 =
    "add@/class/gpio/gpio1\0ACTION=add\0DEVPATH=/class/gpio/gpio1\0SEQNUM=1\0"s;
const std::string kRemove0 = "remove@/x0\0DEVPATH=/x0\0ACTION=remove\0"s;
const std::string kRemove1 = "remove@/x1\0DEVPATH=/x1\0ACTION=remove\0"s;
const std::vector<std::string> kAnEvent = {"ACTION=a", "DEVPATH=/"};

// clang-format off
const Row kRows[] = {
  {"command_line", {"ACTION=add", "DEVPATH=/class/uart/ttyS1", "SUBSYSTEM=uart"}, PLAIN, 0,
   {"add@/class/uart/ttyS1\0ACTION=add\0DEVPATH=/class/uart/ttyS1\0SUBSYSTEM=uart\0"s}, "",
   "sent 1 datagrams, 74 bytes in ", 0},
  {"file_repeated", {"--file", "EVENTS", "-n", "2"}, PLAIN, 0, {kAdd0, kRemove0, kAdd1, kRemove1},
   "", "sent 4 datagrams, 210 bytes in ", 0},
  {"standard_input", {"-f", "-"}, stdinFromEvents, 0, {kAdd0, kRemove0}, "", "sent 2 ", 0},
  {"raw_bytes", {"--raw-hex", "61:64:64:40 00 ff 7b6e7d"}, PLAIN, 0, {"add@\0\xff{n}"s}, "", "sent 1 ", 0},
  {"paced", {"--rate", "20", "-n", "3", "ACTION=a", "DEVPATH=/{n}"}, PLAIN, 0,
   {"a@/0\0ACTION=a\0DEVPATH=/0\0"s, "a@/1\0ACTION=a\0DEVPATH=/1\0"s, "a@/2\0ACTION=a\0DEVPATH=/2\0"s},
   "", "sent 3 ", 0.1},
  {"dry_run", {"--dry-run", "-n", "2", "ACTION=a\\b", "DEVPATH=/{n}", "X=\x01\x7f"}, PLAIN, 0, {},
   "a\\\\b@/0\\0ACTION=a\\\\b\\0DEVPATH=/0\\0X=\\x01\\x7f\\0\n"
   "a\\\\b@/1\\0ACTION=a\\\\b\\0DEVPATH=/1\\0X=\\x01\\x7f\\0\n", "", 0},
  {"kernel_refuses", {"--raw-hex", ""}, PLAIN, 1, {}, "",
   "tavuinject: send of datagram 0 failed: No data available\nsent 0 datagrams", 0},
  {"no_input", {}, PLAIN, 2, {}, "", "tavuinject: give one input", 0},
  {"two_inputs", {"--raw-hex", "00", "A=1"}, PLAIN, 2, {}, "", "tavuinject: give one input", 0},
  {"unknown_option", {"--group", "2", "A=1"}, PLAIN, 2, {}, "", "", 0},
  {"zero_repeat", {"-n", "0", "A=1"}, PLAIN, 2, {}, "", "tavuinject: --repeat needs", 0},
  {"negative_repeat", {"-n", "-1", "A=1"}, PLAIN, 2, {}, "", "tavuinject: --repeat needs", 0},
  {"bad_rate", {"--rate", "0", "A=1"}, PLAIN, 2, {}, "", "tavuinject: --rate needs", 0},
  {"no_devpath", {"ACTION=add"}, PLAIN, 2, {}, "", "tavuinject: an event needs ACTION= and DEVPATH=", 0},
  {"bad_file_line", {"-f", "BAD"}, PLAIN, 2, {}, "", "tavuinject: BAD:3: 'ACTION = add' is no", 0},
  {"no_file", {"-f", "/nonexistent"}, PLAIN, 2, {}, "", "tavuinject: cannot read", 0},
  {"bad_hex", {"--raw-hex", "6"}, PLAIN, 2, {}, "", "tavuinject: --raw-hex needs", 0},
  {"host_namespace", kAnEvent, hostNetCore, 3, {}, "",
   "tavuinject: refusing to send from the host's initial network namespace", 0},
  {"unknown_namespace", kAnEvent, emptyNetCore, 3, {}, "", "tavuinject: refusing to send: cannot tell", 0},
  {"no_privilege", kAnEvent, nobody, 3, {}, "", "tavuinject: send of datagram 0 failed: Operation not "
   "permitted (sending to a uevent group needs CAP_NET_ADMIN)", 0},
};
// clang-format on

class TavuInject : public ::testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    tavuRequireSandbox();
    if (HasFatalFailure()) return;
    sockaddr_nl self{};
    self.nl_family = AF_NETLINK;
    self.nl_groups = 1;  // as the daemon's reader
    iv_fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    ASSERT_EQ(bind(iv_fd, reinterpret_cast<sockaddr*>(&self), sizeof self), 0);
    std::ofstream(iv_dir.file("EVENTS"), std::ios::binary)
        << "# a port and a removal\nACTION=add\r\nDEVPATH=/class/gpio/gpio{n}\n  # inside\n"
           "SEQNUM={n}\n \t\nDEVPATH=/x{n}\nACTION=remove\n";
    std::ofstream(iv_dir.file("BAD")) << "\n\nACTION = add\nDEVPATH=/a\n";
    mkdir(iv_dir.file("empty").c_str(), 0755);
    mkdir(iv_dir.file("host").c_str(), 0755);
    std::ofstream(iv_dir.file("host/somaxconn")) << "1\n";
    std::ofstream(iv_dir.file("host/netdev_max_backlog")) << "1\n";
  }
  void TearDown() override { close(iv_fd); }

  // Every datagram queued for the listener, oldest first.
  std::vector<std::string> received() const {
    std::vector<std::string> got;
    char buffer[8192];
    for (ssize_t n; (n = recv(iv_fd, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;) {
      got.emplace_back(buffer, static_cast<size_t>(n));
    }
    return got;
  }
  tavuScratchDir iv_dir{"tavuinject"};
  int iv_fd = -1;
};

TEST_P(TavuInject, SendsExactlyWhatItShould) {
  const Row& row = GetParam();
  const tavuProgramRun run = tavuRunBuilt("tavuinject", row.args, [&] {
    return chdir(iv_dir.path().c_str()) == 0 && (row.child == nullptr || row.child());
  });
  EXPECT_EQ(run.status, row.status) << run.err;
  EXPECT_EQ(received(), row.received);
  EXPECT_EQ(run.out, row.out);
  EXPECT_EQ(run.err.compare(0, row.errStart.size(), row.errStart), 0) << run.err;
  double seconds = 0;
  const size_t summary = run.err.find("sent ");
  if (summary != std::string::npos) {
    std::sscanf(run.err.c_str() + summary, "sent %*u datagrams, %*u bytes in %lf s", &seconds);
  }
  EXPECT_GE(seconds, row.minSeconds) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Rows, TavuInject, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return info.param.name; });

}  // namespace
