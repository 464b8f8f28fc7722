// The tools as a platform engineer runs them, in the sandbox, one row per
// run: what each prints, sends or writes, and its exit status.
#include <linux/netlink.h>

#include "tavu_test.h"

namespace {

using namespace std::string_literals;

TEST(Tools, EachDoesWhatItsRowSays) {
  ASSERT_NO_FATAL_FAILURE(tavuRequireSandbox());
  ASSERT_EQ(chdir("/tmp"), 0);  // the sandbox's own
  const std::string bin = tavuEnv("TAVU_BIN_DIR"), daemon = bin + "/tavunetlink";
  const std::string trace = "/run/tavutrace/TAVUNL", emulator = tavuEnv("TAVU_EMULATOR") + " ";
  const std::string build = tavuEnv("TAVU_BUILD_ID");
  {  // A buffer of the daemon under test with message, trace and binary entries; its client gone.
    tavuDaemon writer;
    writer.start();
    writer.waitListening();
    tavuWireClient client;
    client.connect();
    client.handshake(0);
    writer.waitTraced("tavunetlink:main: running");
    tavuSendUevent({"ACTION=add", "DEVPATH=/class/gpio/gpio2", "SEQNUM=2x"});
    writer.waitTraced(
        "uevent SEQNUM= value not a number \"add@/class/gpio/gpio2\" \"ACTION=add\" \"DEVPATH=/class/gpio/gpio2\" \"SEQNUM=2x\"");
    client.close();
    tavuSendUevent({"ACTION=add", "DEVPATH=/class/gpio/gpio5", "SUBSYSTEM=gpio", "SEQNUM=5"});
    writer.waitTraced(
        "tavunetlink:tavunetlink_SendToClient: Send error errno=32, netlinkEvent dropped: iv_action=add, iv_seq=5, iv_type=gpio, iv_path=/class/gpio/gpio5");
  }
  // A stripped daemon, a buffer cut short, one another build wrote, one of another processor (the
  // build's last letter); event files (one too long to send, one binary); sysfs classes, one link
  // out of it; the host's /proc/sys/net/core.
  const std::string setup =
      tavuEnv("TAVU_STRIP") + " -o stripped " + daemon + " && head -c 200 " + trace +
      " > cut && cp " + trace + " other && cp " + trace +
      " arch && printf feedface | dd of=other bs=1 seek=80 conv=notrunc status=none && printf X | dd of=arch bs=1 conv=notrunc status=none seek=" +
      std::to_string(79 + build.size()) +
      " && printf '# one\\nACTION=add\\nDEVPATH=/a{n}\\n\\nDEVPATH=/b\\nACTION=remove\\n' > events && printf 'ACTION=a\\nDEVPATH=/\\n\\nACTION=a\\nDEVPATH=/\\nX=' > big && head -c 300000 /dev/zero | tr '\\0' x >> big && printf 'A=1\\n\\001\\377=\\n' > binary && mkdir -p host && : > host/netdev_max_backlog && for d in uart/ttyS10 uart/ttyS2 gpio/gpio3 block/sda; do mkdir -p sys/devices/$d sys/class/${d%/*} && : > sys/devices/$d/uevent && ln -s ../../devices/$d sys/class/$d; done && ln -s /etc sys/class/uart/ttyS4";
  ASSERT_EQ(system(setup.c_str()), 0);
  // With an event for tavumon; only nobody may be its client, and the library trusts root's daemon.
  tavuDaemon monitored("tavunetlink_uid65534");
  monitored.start();
  monitored.waitListening();
  tavuSendUevent({"ACTION=add", "DEVPATH=/class/uart/ttyS\\1", "SUBSYSTEM=uart", "SEQNUM=8",
                  "LINK=-2", "TLOR=3"});
  // The kernel's listener, to see what tavuinject sends; it joins one group, not every one.
  const int kernel = socket(AF_NETLINK, SOCK_DGRAM, NETLINK_KOBJECT_UEVENT);
  sockaddr_nl group{AF_NETLINK, 0, 0, 1};
  ASSERT_EQ(bind(kernel, reinterpret_cast<sockaddr*>(&group), sizeof group), 0);
  // clang-format off
  const struct {
    std::string tool;
    tavuLines args;
    int status;
    std::string out, err;  // parts of standard output and error
  } rows[] = {
      {"trace", {"--daemon", "stripped", trace}, 0, "value not a number \"add@", ""},
      {"trace", {"--json", trace}, 0, "\"text\":\"tavunetlink:main: running\"", ""},  // the daemon beside it
      {"trace", {"--daemon", daemon, "other"}, 0, "Z tavunetlink:main: running\n", "build feedface"},
      {"trace", {"--daemon", daemon, "arch"}, 0, "Z tavunetlink:main: running\n", ""},  // only the processor differs
      {"trace", {"--daemon", daemon, "cut"}, 1, "", "tavutrace: cut:"},
      {"trace", {"--list-sites", "--daemon", "stripped"}, 0, "%s:%s: Exiting, fork failed\\n", ""},
      {"trace", {"--header", "cut"}, 0, "build:           " + build + "\n", ""},  // the header alone is read
      {"trace", {"--status", trace}, 0, "\nevents:         2 received, 1 served, 0 delivered\nclient:         gone since event seq=5 (add /class/gpio/gpio5): Broken pipe (errno 32); 1 event not delivered\nlast rejected:  uevent SEQNUM= value not a number \"add@/class/gpio/gpio2\" \"ACTION=add\" \"DEVPATH=/class/gpio/gpio2\" \"SEQNUM=2x\", at 20", ""},
      {"trace", {"--daemon", daemon, "missing"}, 2, "", "tavutrace: cannot read '/run/tavutrace/missing': No such file or directory\n"},  // as tavuinject's
      {"tavuinject", {"ACTION=add", "DEVPATH=/x", "SEQNUM=1"}, 0, "", "sent 1 datagram, 38 bytes in "},
      {"tavuinject", {"-n", "2", "--rate", "1000", "-f", "events"}, 0, "", "sent 4 datagrams"},
      {"tavuinject", {"--raw-hex", "61:00 ff"}, 0, "", "sent 1 datagram, 3 bytes in "},
      {"tavuinject", {"--version"}, 0, "tavuinject (tavunetlink) 0.1, build " + build + "\n", ""},
      {"tavuinject", {"--dry-run", "ACTION=a", "DEVPATH=/"}, 0, "a@/\\0ACTION=a\\0DEVPATH=/\\0\n", ""},
      {"tavuinject", {"--dry-run", "-f", "big"}, 2, "", "tavuinject: datagram 2 is 300026 bytes, more than the socket sends ("},
      {"tavuinject", {"ACTION=a"}, 2, "", "DEVPATH="},
      {"tavuinject", {"-f", "binary"}, 2, "", "tavuinject: binary:2: '\\x01\\xff=' is no KEY=VALUE"},
      {"tavuinject", {"-f", "missing"}, 2, "", "tavuinject: cannot read 'missing': No such file or directory\n"},
      // Not in the host's namespace, where the machine's device managers listen.
      {"/usr/bin/unshare", {"--mount", "sh", "-c", "mount --bind host /proc/sys/net/core && exec " + emulator + bin + "/tavuinject ACTION=a DEVPATH=/"}, 3, "", "refusing"},
      {"tavutrigger", {"--root", ".", "--dry-run"}, 1, "add ./sys/class/gpio/gpio3 (dry run)\nadd ./sys/class/uart/ttyS2 (dry run)\nadd ./sys/class/uart/ttyS10 (dry run)\n", "ttyS4"},
      {"tavutrigger", {"--root", ".", "--action", "remove", "--class", "uart"}, 1, "remove ./sys/class/uart/ttyS2\nremove ./sys/class/uart/ttyS10\n", "ttyS4"},
      {"tavutrigger", {"--class", "block"}, 2, "", "block"},
      {"tavutrigger", {"--root", "/nonexistent"}, 2, "", "tavutrigger: --root needs a directory, not '/nonexistent': No such file or directory\nTry 'tavutrigger --help'.\n"},
      {"tavutrigger", {"--listening", std::to_string(monitored.pid())}, 0, "", ""},
      {"tavutrigger", {"--listening", "1", "--timeout", "0.2"}, 1, "", "process 1 has not joined the kernel's uevent groups within 0.2 s"},
      {"tavumon", {}, 1, "", "tavumon: the daemon refused this client: uid 0 is not allowed by the daemon's build (TAVU_CLIENT_UIDS)\n"},
      {"/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c", "exec " + emulator + bin + "/tavumon --json --serial=41 --count 1"}, 0, ",\"action\":\"add\",\"action_code\":1,\"seq\":8,\"link\":-2,\"tlor\":3,\"path\":\"/class/uart/ttyS\\\\1\",\"type\":\"uart\"}\n", ""},
      {"tavumon", {"--timeout", "0.2"}, 1, "", "restart it (systemctl restart tavunetlink, or /etc/init.d/tavunetlink restart)\n"},
      {"/usr/bin/unshare", {"--net", "sh", "-c", "exec " + emulator + bin + "/tavumon"}, 1, "", "cannot connect to the daemon: Connection refused; is the daemon running (in this network namespace)?\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.tool + " " + ::testing::PrintToString(row.args));
    const tavuRun run =
        tavuRunProgram(row.tool == "trace" ? tavuEnv("TAVU_TRACE_TOOL") : row.tool, row.args);
    EXPECT_EQ(run.status, row.status) << run.err;
    EXPECT_THAT(run.out, ::testing::HasSubstr(row.out));
    EXPECT_THAT(run.err, row.err.empty() ? ::testing::Matcher<std::string>(::testing::IsEmpty()) : ::testing::HasSubstr(row.err));
  }
  tavuLines sent;
  char bytes[4096];
  for (ssize_t n; (n = recv(kernel, bytes, sizeof bytes, MSG_DONTWAIT)) >= 0;)
    sent.emplace_back(bytes, static_cast<size_t>(n));
  EXPECT_THAT(sent, ::testing::ElementsAre("add@/x\0ACTION=add\0DEVPATH=/x\0SEQNUM=1\0"s, "add@/a0\0ACTION=add\0DEVPATH=/a0\0"s, "remove@/b\0DEVPATH=/b\0ACTION=remove\0"s,
                                           "add@/a1\0ACTION=add\0DEVPATH=/a1\0"s, "remove@/b\0DEVPATH=/b\0ACTION=remove\0"s, "a\0\xff"s));
  EXPECT_EQ(tavuReadFile("sys/devices/uart/ttyS10/uevent") + tavuReadFile("sys/devices/gpio/gpio3/uevent") + tavuReadFile("sys/devices/block/sda/uevent"), "remove");
  // clang-format on
}

}  // namespace
