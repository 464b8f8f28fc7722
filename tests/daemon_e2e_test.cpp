// The daemon end to end, as the board runs it: the kernel's uevents in, the
// /dev tree and the client's messages out, one row per behaviour.

#include "tavu_test.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// "ACTION DEVPATH SUBSYSTEM [MAJOR:MINOR] [KEY=VALUE...]", "-" for a key
// left out; SEQNUM=1 comes before them all.
tavuLines tavuUevent(const std::string& words) {
  std::istringstream in(words);
  std::string action, path, subsystem;
  in >> action >> path >> subsystem;
  tavuLines keys = {"SEQNUM=1"};
  if (path != "-") keys.push_back("DEVPATH=" + path);
  if (action != "-") keys.push_back("ACTION=" + action);
  if (subsystem != "-") keys.push_back("SUBSYSTEM=" + subsystem);
  for (std::string word; in >> word;) {
    const size_t colon = word.find(':');
    const bool numbers = colon != std::string::npos;
    keys.push_back(numbers ? "MAJOR=" + word.substr(0, colon) : word);
    if (numbers) keys.push_back("MINOR=" + word.substr(colon + 1));
  }
  return keys;
}

// The first group `pattern` captures in each line that matches it.
tavuLines tavuCaptures(const tavuLines& lines, const std::string& pattern) {
  tavuLines captured;
  std::smatch match;
  for (const std::string& line : lines) {
    if (std::regex_match(line, match, std::regex(pattern))) captured.push_back(match[1]);
  }
  return captured;
}

#define CONNECTION "tavunetlink:tavunetlink_GetClientConnection: "

// Delivered last of all, with no node: what came before it has been handled.
const char TAVU_MARKER[] = "add /devices/marker gpio";

class DaemonEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(tavuRequireSandbox());
    tavuClearDev();
    unlink("/run/tavutrace/TAVUNL");
    ASSERT_NO_FATAL_FAILURE(iv_daemon.start(iv_plan));
    ASSERT_NO_FATAL_FAILURE(iv_daemon.waitListening());
  }
  void connect(int32_t serial = 41) {
    iv_client.connect();
    ASSERT_EQ(iv_client.handshake(serial), tavuHeader(0x12345678, serial, 0));
    // The reply comes before the trace buffer: entries made meanwhile are lost.
    iv_daemon.waitTraced("tavunetlink:main: running");
  }
  tavuclient_event receiveAndAcknowledge() {
    tavuclient_event event = iv_client.receive();
    iv_client.acknowledge(event.serial_num);
    return event;
  }
  // Sends `uevents` and the marker; "type path action" of each event up to
  // the marker, then "seq link tlor" unless they are 1 0 0.
  tavuLines eventsUntilMarker(const tavuLines& uevents = {}) {
    for (const std::string& uevent : uevents) tavuSendUevent(tavuUevent(uevent));
    tavuSendUevent(tavuUevent(TAVU_MARKER));
    tavuLines events;
    for (tavuclient_event event; (event = receiveAndAcknowledge()).time != 0 &&
                                 event.path != std::string("/devices/marker");) {
      EXPECT_NEAR(event.time, time(nullptr), 60);
      const std::string numbers = " " + std::to_string(event.seq) + " " +
                                  std::to_string(event.link) + " " + std::to_string(event.tlor);
      events.push_back(std::string(event.type) + " " + event.path + " " +
                       std::to_string(event.action) + (numbers == " 1 0 0" ? "" : numbers));
    }
    return events;
  }

  std::string iv_plan;  // a fault plan: the same through another path of the daemon
  tavuDaemon iv_daemon;
  tavuWireClient iv_client;
};

// The walk down /dev with openat2 and statx's mount ids, and without either
// (each level opened with O_NOFOLLOW, its mount compared; nothing kept), as
// on old kernels.
const char* const TAVU_WALKS[] = {"", "openat2+,statx+"};
#define TAVU_WALK_NAME(plan) std::string(*(plan) ? "WithoutOpenat2OrMounts" : "")

// ---- /dev follows the kernel: the node table and the classification ----

struct tavuNodeRow {
  const char* name;
  tavuLines uevents;       // as tavuUevent reads them
  tavuLines delivered;     // as eventsUntilMarker shows each event delivered
  tavuLines tree;          // /dev afterwards
  tavuLines entries = {};  // the text of each binary entry, which carries the whole datagram
};

// clang-format off
const tavuNodeRow TAVU_NODE_ROWS[] = {
    {"BusSerialPortRenamed", {"add /class/ttyKWB/ttyKWB12 ttyKWB 4:76"}, {"ttyKWB /class/ttyKWB/ttyKWB12 1"}, {"c 0640 4:76 /dev/ttsKWB/12", "d 0755 /dev/ttsKWB"}},
    {"SerialPortRenamed", {"add /class/uart/ttyS10 uart 4:74"}, {"uart /class/uart/ttyS10 1"}, {"c 0640 4:74 /dev/tts/10", "d 0755 /dev/tts"}},
    {"DigitStartsTheNodeNameNoDigitNoDirectory", {"add /class/gpio/gpio12 gpio 254:12", "add /class/jtag/jtagmux jtag 240:0"}, {"gpio /class/gpio/gpio12 1", "jtag /class/jtag/jtagmux 1"}, {"c 0640 240:0 /dev/jtagmux", "c 0640 254:12 /dev/gpio/12", "d 0755 /dev/gpio"}},
    {"DotsBecomeLevels", {"add /class/kwb/kwb0.1.2 kwb 250:3"}, {"kwb /class/kwb/kwb0.1.2 1"}, {"c 0640 250:3 /dev/kwb0/1/2", "d 0755 /dev/kwb0", "d 0755 /dev/kwb0/1"}},
    {"EmptyLevelsAsInAnyPath", {"add /class/gpio/7 gpio 1:3", "add /class/gpio/a...b gpio 1:2"}, {"gpio /class/gpio/7 1", "gpio /class/gpio/a...b 1"}, {"c 0640 1:2 /dev/a/b", "c 0640 1:3 /dev/7", "d 0755 /dev/a"}},
    {"I2cEngineAndSlaveDotsOnlyNotDigits", {"add /class/iic-kwb/iic-0.3 iic-kwb 89:3", "add /class/iic-kwb/iic-slv.5 iic-kwb 89:5"}, {"iic /class/iic-kwb/iic-0.3 1", "iic-slv /class/iic-kwb/iic-slv.5 1"}, {"c 0640 89:3 /dev/iic-0/3", "c 0640 89:5 /dev/iic-slv/5", "d 0755 /dev/iic-0", "d 0755 /dev/iic-slv"}},
    {"MailboxesNotOtherNetworkDevicesNorUnservedOrMiscased", {"add /class/net/mbx0 net 10:60", "add /class/net/eth0 net 10:61", "add /class/UART/ttyS1 UART 4:65", "add /class/sca/sca1 sca 4:66", "add /class/gpix/gpix1 gpix 4:67"}, {"net /class/net/mbx0 1"}, {"c 0640 10:60 /dev/mbx/0", "d 0755 /dev/mbx"}},
    {"ScanAndVraxByPrefix", {"add /class/scan7/scan2 scan7 200:2", "add /class/vrax/vrax0 vraxio 201:0"}, {"scan /class/scan7/scan2 1", "vrax /class/vrax/vrax0 1"}, {"c 0640 200:2 /dev/scan/2", "c 0640 201:0 /dev/vrax/0", "d 0755 /dev/scan", "d 0755 /dev/vrax"}},
    {"TlorDeviceOnlyWithItsSuffix", {"add /devices/link-0/tlor-0/kwb-0.02 kwb 1:1", "add /devices/link-0/tlor-0/kwb-0.03 kwb 1:1", "add /devices/link-0/tlor-0/kwb-0.02/x kwb 1:1", "add /devices/link-0/kwb-0.02 kwb 1:1"}, {"kwb-tlor /devices/link-0/tlor-0/kwb-0.02 1", "kwb /devices/link-0/kwb-0.02 1"}, {}},
    {"BusSerialPortKnownByItsPathAloneTheSubsystemFirst", {"add /class/ttyKWB/ttyKWB5 - 4:69", "add /class/uart/ttyS5 - 4:69", "add /class/uart/ttyKWB6 uart 4:70"}, {"ttyKWB /class/ttyKWB/ttyKWB5 1", "uart /class/uart/ttyKWB6 1"}, {"c 0640 4:69 /dev/ttsKWB/5", "c 0640 4:70 /dev/ttsKWB/6", "d 0755 /dev/ttsKWB"}},
    {"NoActionNoMajorNoNode", {"- /class/iomux/iomux0 iomux 4:1", "add /class/iomux/iomux1 iomux 0:1", "add /class/iomux/iomux2 iomux", "add /devices/x/class/uart/ttyS3 uart 4:67"}, {"iomux /class/iomux/iomux0 0", "iomux /class/iomux/iomux1 1", "iomux /class/iomux/iomux2 1", "uart /devices/x/class/uart/ttyS3 1"}, {}},
    {"RemovalKeepsADirectoryStillInUse", {"add /class/uart/ttyS0 uart 4:64", "add /class/uart/ttyS1 uart 4:65", "remove /class/uart/ttyS0 uart"}, {"uart /class/uart/ttyS0 1", "uart /class/uart/ttyS1 1", "uart /class/uart/ttyS0 2"}, {"c 0640 4:65 /dev/tts/1", "d 0755 /dev/tts"}},
    {"RemovalTakesEveryEmptyLevelPastAMissingOne", {"add /class/kwb/kwb0.1.2 kwb 250:3", "remove /class/kwb/kwb0.1.2 kwb", "add /class/kwb/kwb0. kwb 250:4", "remove /class/kwb/kwb0.1.2 kwb"}, {"kwb /class/kwb/kwb0.1.2 1", "kwb /class/kwb/kwb0.1.2 2", "kwb /class/kwb/kwb0. 1", "kwb /class/kwb/kwb0.1.2 2"}, {}},
    {"ANodeAlreadyThereStaysAsItIs", {"add /class/uart/ttyS1 uart 4:65", "add /class/uart/ttyS1 uart 5:5"}, {"uart /class/uart/ttyS1 1", "uart /class/uart/ttyS1 1"}, {"c 0640 4:65 /dev/tts/1", "d 0755 /dev/tts"}},
    // How each key's value is read, as the kernel meant it.
    {"WholeDecimalNumbersTheLastOneStanding", {"add /devices/u uart SEQNUM=812 LINK=5 TLOR=-2", "add /devices/u uart SEQNUM=99999999999", "add /devices/u uart SEQNUM=-99999999999", "add /devices/u uart seqnum=5 Link=5", "add /devices/u uart SEQNUM=3 LINK=abc"}, {"uart /devices/u 1 812 5 -2", "uart /devices/u 1 2147483647 0 0", "uart /devices/u 1 -2147483648 0 0", "uart /devices/u 1", "uart /devices/u 1 3 0 0"}, {}, {"LINK= value not a number"}},
    // The second a byte longer than the 4096 read: its last string, cut short of its NUL, is not read.
    {"NoPathNoEventAStringCutShortNotRead", {"add - uart", "add /devices/u uart X=" + std::string(4016, 'x') + " SEQNUM=5"}, {"uart /devices/u 1"}, {}},
    {"MalformedValuesRejectTheirEventEachTold", {"add /devices/u uart SEQNUM=12x LINK=y", "add /devices/u uart SEQNUM=", "add /devices/u uart MAJOR=x", "add /devices/u uart MINOR=m", "add /devices/u uart TLOR=t", "add /devices/u uart SEQNUM=x SEQNUM=2", "change /devices/u uart"}, {}, {}, {"SEQNUM= value not a number", "LINK= value not a number", "SEQNUM= value not a number", "MAJOR= value not a number", "MINOR= value not a number", "TLOR= value not a number", "SEQNUM= value not a number", "ACTION= value not recognised"}},
};
// clang-format on

class NodeTable : public DaemonEndToEnd,
                  public ::testing::WithParamInterface<std::tuple<tavuNodeRow, const char*>> {
 protected:
  NodeTable() { iv_plan = std::get<1>(GetParam()); }
};

// Each event, served or not, is counted; the delivered ones are sent.
TEST_P(NodeTable, DevAndClientFollowTheKernel) {
  const tavuNodeRow& row = std::get<0>(GetParam());
  ASSERT_NO_FATAL_FAILURE(connect());
  EXPECT_THAT(eventsUntilMarker(row.uevents), ElementsAreArray(row.delivered));
  EXPECT_THAT(tavuDevTree(), ElementsAreArray(row.tree));
  const std::string served = std::to_string(row.delivered.size() + 1);
  iv_daemon.waitTraced(
      "tavunetlink:tavunetlink_SendToClient: sent add seq=1 type=gpio path=/devices/marker, totalNetlinkEvents=" +
      std::to_string(row.uevents.size() + 1) + ", totalTavuEvents=" + served +
      ", sentToClient=" + served);
  EXPECT_EQ(tavuCaptures(iv_daemon.trace(), "uevent (.*?) \"[a-z]+@/.*"), row.entries);
}

INSTANTIATE_TEST_SUITE_P(Rows, NodeTable,
                         ::testing::Combine(::testing::ValuesIn(TAVU_NODE_ROWS),
                                            ::testing::ValuesIn(TAVU_WALKS)),
                         [](const auto& info) {
                           return std::get<0>(info.param).name +
                                  TAVU_WALK_NAME(std::get<1>(info.param));
                         });

// Whatever others have put under /dev: nothing outside it changes, no link
// is followed and no mount point crossed, not even a bind mount of /dev's own; a set-group-id
// directory of root's gives its group, as mknod and mkdir do, and one of another user's gives
// nothing.
class Walk : public DaemonEndToEnd, public ::testing::WithParamInterface<const char*> {
 protected:
  Walk() { iv_plan = GetParam(); }
};

TEST_P(Walk, LinksMountsAndOthersGroupsInDevLeadNowhere) {
  ASSERT_EQ(0, system("mkdir -p -m 1777 /dev/shm /tmp/out && : > /tmp/out/precious &&"
                      " ln -s /tmp/out /dev/shm/x && mkdir -m 2775 /dev/sg /dev/og &&"
                      " chgrp 100 /dev/sg && chown 65534:100 /dev/og &&"
                      " mkdir /dev/mnt /dev/src /dev/bind && mount -t tmpfs none /dev/mnt &&"
                      " mount --bind /dev/src /dev/bind"));
  ASSERT_NO_FATAL_FAILURE(connect());
  eventsUntilMarker({"remove /class/gpio/shm.x.precious gpio",
                     "add /class/gpio/shm.x.made gpio 1:1", "add /class/gpio/mnt.1 gpio 1:2",
                     "add /class/gpio/sg.d.1 gpio 1:3", "add /class/gpio/og.1 gpio 1:4",
                     "add /class/gpio/og.e.1 gpio 1:5", "add /class/gpio/bind.1 gpio 1:6"});
  EXPECT_THAT(
      tavuDevTree(),
      ElementsAreArray({"c 0640 1:3 /dev/sg/d/1", "c 0640 1:4 /dev/og/1", "c 0640 1:5 /dev/og/e/1",
                        "d 0755 /dev/bind", "d 0755 /dev/src", "d 1777 /dev/mnt", "d 1777 /dev/shm",
                        "d 2755 /dev/og/e", "d 2755 /dev/sg/d", "d 2775 /dev/og", "d 2775 /dev/sg",
                        "l 0777 /dev/shm/x"}));
  EXPECT_EQ(system("test \"$(ls /tmp/out) $(stat -c %u:%g /dev/og/1 /dev/og/e /dev/og/e/1"
                   " /dev/sg/d /dev/sg/d/1 | xargs)\" = 'precious 0:0 0:0 0:0 0:100 0:100'"),
            0);
  ASSERT_EQ(system("umount /dev/mnt /dev/bind"), 0);
}

// However many directories, however deep: between events the daemon holds
// no more descriptors than at start and the 30 its walk keeps, and a node
// 400 levels down is made and removed as a plain chain of mkdir would.
TEST_P(Walk, DescriptorsStayBoundedWhateverTheDepth) {
  ASSERT_NO_FATAL_FAILURE(connect());
  const std::string pid = std::to_string(iv_daemon.pid());
  const long start = tavuDescriptors(pid);
  long most = start;
  std::string deep, node = "/dev/";
  for (int level = 0; level < 400; ++level) deep += "d.", node += "d/";
  for (int i = 0; i < 1000; ++i) {
    // By hundreds, adds then their removes: 40 directories of two levels, and the deep one.
    const int j = i % 100;
    const std::string name =
        j % 25 == 0 ? deep : "k" + std::to_string(j % 40) + "." + std::to_string(j % 7);
    tavuSendUevent(
        tavuUevent((i / 100 % 2 ? "remove " : "add ") + ("/class/gpio/" + name) + ".1 gpio 1:1"));
    receiveAndAcknowledge();
    most = std::max(most, tavuDescriptors(pid));
    EXPECT_TRUE(i != 99 || std::filesystem::exists(node + "1")) << "the deep node made";
  }
  EXPECT_LE(most, start + 30);
  EXPECT_THAT(tavuDevTree(), ::testing::IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Walks, Walk, ::testing::ValuesIn(TAVU_WALKS),
                         [](const auto& info) { return "Walk" + TAVU_WALK_NAME(info.param); });

// ---- Before the client comes ----

// A backlog longer than the allocator gives back by itself comes once and
// in order, paced as the receive buffer allows; its memory is given back
// once it is delivered, and not again for a client that keeps up.
TEST_F(DaemonEndToEnd, ABacklogComesInOrderAndItsMemoryGoesBackOnce) {
  constexpr int TAVU_BACKLOG = 2000;
  ASSERT_EQ(tavuRunProgram("tavuinject", {"--repeat", std::to_string(TAVU_BACKLOG), "--rate",
                                          "2000", "ACTION=add", "DEVPATH=/class/uart/ttyS{n}",
                                          "SUBSYSTEM=uart", "SEQNUM={n}", "MAJOR=4", "MINOR=1"})
                .status,
            0);
  ASSERT_NO_FATAL_FAILURE(connect());
  int received = 0;
  for (int32_t seq = -1; received + iv_daemon.ueventDrops() < TAVU_BACKLOG; ++received) {
    const tavuclient_event event = receiveAndAcknowledge();
    ASSERT_GT(event.seq, seq) << "after " << received << " events";
    seq = event.seq;
  }
  // Once, for as many events as were queued at most; never for a client
  // that keeps up.
  const std::string given = "tavunetlink:main: backlog of ([0-9]+) events delivered, .*";
  tavuAwait("the backlog's memory given back",
            [&] { return !tavuCaptures(iv_daemon.trace(), given).empty(); });
  for (int i = 0; i < 3; ++i) {
    tavuSendUevent(tavuUevent("add /class/uart/ttyS1 uart 4:65"));
    receiveAndAcknowledge();
  }
  const tavuLines sizes = tavuCaptures(iv_daemon.trace(), given);
  ASSERT_EQ(sizes.size(), 1u) << ::testing::PrintToString(sizes);
  EXPECT_GE(std::stoi(sizes[0]), 1024);
}

// ---- Other users on the board ----

// Whoever is not allowed is sent away at once, told why, and reported in a
// line a second at most: the first at once, the others counted and told
// when their second is over, though nobody else comes, or when the allowed
// client comes, who is served at once.
TEST_F(DaemonEndToEnd, OnlyAnAllowedUserBecomesTheClientRefusalsToldSparingly) {
  int refused = 0;
  const auto refuse = [&] {  // the credentials a connection carries are its maker's
    tavuWireClient other;
    ++refused;
    // The daemon then closes its end, keeping nothing of a refused client; a
    // reset when our handshake was still unread there.
    char end;
    return seteuid(65534) == 0 && (other.connect(), seteuid(0) == 0) &&
           other.handshake(0) == tavuHeader(0x12345678, 65534, -1) &&
           (recv(other.fd(), &end, 1, 0) == 0 || errno == ECONNRESET);
  };
  const auto lines = [&] { return tavuSplit(iv_daemon.output()); };
  tavuAwait("a refusal counted", [&] { return refuse() && lines().size() < size_t(refused); });
  tavuAwait("their second's count told", [&] { return lines().size() == 2; });
  ASSERT_TRUE(refuse());
  ASSERT_NO_FATAL_FAILURE(connect(INT32_MAX));  // serial numbers wrap at 32 bits
  tavuSendUevent(tavuUevent("add /class/uart/ttyS1 uart 4:65"));
  EXPECT_EQ(receiveAndAcknowledge().serial_num, INT32_MIN);
  const std::string who = "uid 65534, pid " + std::to_string(getpid());
  EXPECT_THAT(
      lines(),
      ElementsAre(CONNECTION "refused a client of " + who + ": not allowed, waiting for another",
                  CONNECTION "refused " + std::to_string(refused - 2) +
                      " more clients not allowed, the last of " + who,
                  CONNECTION "refused 1 more clients not allowed, the last of " + who));
}

// ---- Acknowledgments and the client going away ----

// What a client does with the event of serial 42: the acknowledgment it
// sends, or it goes away after reading the event or with it unread (the
// daemon's end then learns of a reset); and the report it earns.
struct tavuClientRow {
  const char* name;
  std::string bytes;  // empty: it goes away
  const char* report;
  bool unread = false;
};

#define SEND_TO_CLIENT "tavunetlink:tavunetlink_SendToClient: "
#define ACK_MISMATCH SEND_TO_CLIENT "Acknowledge message didn't match sent message, "

// clang-format off
const tavuClientRow TAVU_CLIENT_ROWS[] = {
    {"PreviousSerial", tavuHeader(0x12345678, 41, 0), ACK_MISMATCH "signature(exp=0x12345678,act=0x12345678), serialnum(exp=42,act=41), length(exp=0,act=0)"},
    {"PayloadLength", tavuHeader(0x12345678, 42, 1), ACK_MISMATCH "signature(exp=0x12345678,act=0x12345678), serialnum(exp=42,act=42), length(exp=0,act=1)"},
    {"Signature", tavuHeader(0x87654321, 42, 0), ACK_MISMATCH "signature(exp=0x12345678,act=0x87654321), serialnum(exp=42,act=42), length(exp=0,act=0)"},
    {"Short", tavuHeader(0x12345678, 42, 0).substr(0, 6), SEND_TO_CLIENT "Acknowledge message length incorrect, expected=12, actual=6"},
    {"GoneAfterReading", "", SEND_TO_CLIENT "Acknowledge message length incorrect, expected=12, actual=0"},
    {"GoneWithItUnread", "", SEND_TO_CLIENT "Acknowledge message recv error, errno=104, on netlinkEvent sent: iv_action=rmv, iv_seq=3, iv_type=uart, iv_path=/class/uart/ttyS1", true},
};
// clang-format on

class ClientTable : public DaemonEndToEnd, public ::testing::WithParamInterface<tavuClientRow> {};

// Nothing more is sent before the acknowledgment; a wrong one drops only
// its own event, a client gone every later one; /dev stays in step.
TEST_P(ClientTable, AcknowledgmentAwaitedThenChecked) {
  const tavuClientRow& row = GetParam();
  ASSERT_NO_FATAL_FAILURE(connect());
  tavuSendUevent(tavuUevent("remove /class/uart/ttyS1 uart SEQNUM=3"));
  iv_daemon.waitTraced(
      "tavunetlink:tavunetlink_SendToClient: sent rmv seq=3 type=uart path=/class/uart/ttyS1, totalNetlinkEvents=1, totalTavuEvents=1, sentToClient=1");
  ASSERT_EQ(row.unread ? 42 : iv_client.receive().serial_num, 42);
  tavuSendUevent(tavuUevent("add /class/uart/ttyS2 uart 4:66 SEQNUM=7"));
  iv_daemon.waitTraced(
      "tavunetlink:tavuMonitorNetlinkEventQueue: queued /class/uart/ttyS2 seq=7, netlinkDataQueue 0, totals 2 2 1");
  char byte;
  EXPECT_EQ(recv(iv_client.fd(), &byte, 1, MSG_DONTWAIT | MSG_PEEK), row.unread ? 1 : -1);
  row.bytes.empty() ? iv_client.close() : (void)iv_client.send(row.bytes);
  iv_daemon.waitTraced(row.report);
  if (row.bytes.empty()) {  // dropped, its acknowledgment not awaited
    iv_daemon.waitTraced(
        "tavunetlink:tavunetlink_SendToClient: Send error errno=32, netlinkEvent dropped: iv_action=add, iv_seq=7, iv_type=uart, iv_path=/class/uart/ttyS2");
    EXPECT_EQ(tavuCaptures(iv_daemon.trace(), SEND_TO_CLIENT "(Acknowledge) .*").size(), 1u);
  } else {
    const tavuclient_event next = receiveAndAcknowledge();
    EXPECT_EQ(std::to_string(next.serial_num) + " " + next.path, "43 /class/uart/ttyS2");
  }
  EXPECT_THAT(tavuDevTree(), ::testing::Contains("c 0640 4:66 /dev/tts/2"));
}

INSTANTIATE_TEST_SUITE_P(Rows, ClientTable, ::testing::ValuesIn(TAVU_CLIENT_ROWS),
                         tavuRowName<tavuClientRow>);

}  // namespace
