// Every failure the daemon can meet, one row each: the fault-injecting build
// (TAVU_FAULTS) makes one call fail; the row checks the exact report, where it
// went (printed before the client's handshake, traced after) and how the
// daemon ended.

#include "tavu_test.h"

namespace {

enum tavuStep : unsigned {
  EVENT = 1,      // once the daemon listens, the kernel announces ttyS1
  PRINTED = 2,    // the report is printed before the client comes
  CLIENT = 4,     // a client connects and completes its handshake
  ACK = 8,        // it receives the first event and acknowledges it
  PIPE = 16,      // the launcher hands it a pipe, which it must not keep
  PAUSES = 32,    // the reader, failing again and again, waits between attempts
  LAUNCHER = 64,  // started as /usr/sbin/kwbplugd, the launcher itself ends so
};
constexpr int RUNS_ON = -1;

struct tavuFaultRow {
  const char* plan;
  unsigned steps;
  const char* report;
  int status;  // the daemon's exit status, or RUNS_ON
  bool traced = false;
  const char* raced = nullptr;                // another report that a race may bring
  std::string handshake = tavuHandshake(41);  // what the client sends first
  friend std::ostream& operator<<(std::ostream& o, const tavuFaultRow& r) { return o << r.plan; }
};

#define MAIN "tavunetlink:main: "
#define CONNECTION "tavunetlink:tavunetlink_GetClientConnection: "
#define READER "tavunetlink:tavuMonitorNetlinkSocket: "
#define WORKER "tavunetlink:tavuMonitorNetlinkEventQueue: "
#define MISMATCH CONNECTION "Exiting, received message didn't match what is expected, "

// clang-format off
const tavuFaultRow TAVU_FAULT_ROWS[] = {
    // Start-up: printed, and the daemon ends at once; the launcher, under its base name.
    {"fork", LAUNCHER, "kwbplugd:main: Exiting, fork failed", 255},
    {"pthread_mutexattr_init", 0, MAIN "Exiting, failed pthread_mutexattr_init", 255},
    {"pthread_mutexattr_settype", 0, MAIN "Exiting, failed pthread_mutexattr_settype", 255},
    {"pthread_mutex_init#1", 0, MAIN "Exiting, failed pthread_mutex_init(netlinkDataQueue)", 255},
    {"pthread_mutex_init#2", 0, MAIN "Exiting, failed pthread_mutex_init(hpEvQueue)", 255},
    {"pthread_cond_init#1", 0, MAIN "Exiting, failed pthread_cond_init(netlinkDataQueue)", 255},
    {"pthread_cond_init#2", 0, MAIN "Exiting, failed pthread_cond_init(hpEvQueue)", 255},
    {"pthread_attr_init", 0, MAIN "Exiting, failed creating thread attributes", 255},
    {"pthread_attr_setdetachstate", 0, MAIN "Exiting, failed setting detached state thread attribute", 255},
    {"pthread_create#1", 0, MAIN "Exiting, failed creating tavuMonitorNetlinkEventQueue thread", 255},
    {"pthread_create#2", 0, MAIN "Exiting, failed creating tavuMonitorNetlinkSocket thread", 255},
    // Kernels before 5.9 have no close_range; the rest of start-up goes on.
    {"close_range", PIPE | EVENT | CLIENT | ACK, "", RUNS_ON},
    // A /dev that cannot be used is told once; events still reach the client.
    {"open:dev+", PRINTED | EVENT | CLIENT | ACK, MAIN "/dev cannot be used, errno=20: no node is made or removed until it can", RUNS_ON},
    // The client's connection.
    {"socket:unix", 0, CONNECTION "Exiting, socket create failed, errno=24", 255},
    {"bind:unix", 0, CONNECTION "Exiting, socket bind() failed, errno=98", 255},
    {"listen", 0, CONNECTION "Exiting, socket listen() failed, errno=95", 255},
    {"accept", 0, CONNECTION "Exiting, client socket accept error, errno=103", 255},
    {"recv:unix", CLIENT, CONNECTION "Exiting, socket recv() failed, errno=104", 255},
    {"send:unix", CLIENT, CONNECTION "Exiting, socket send() failed, errno=32", 255},
    // A client's first message that is no handshake ends the daemon, no call failing.
    {"", CLIENT, MISMATCH "msglength=28, signature=0x12345678, serialnum=41, payloadLength=16, message=ready to receive", 255, false, nullptr, tavuHeader(0x12345678, 41, 16) + "ready to receive"},
    {"", CLIENT, MISMATCH "msglength=29, signature=0x12345678, serialnum=41, payloadLength=18, message=ready to receive", 255, false, nullptr, tavuHeader(0x12345678, 41, 18) + std::string("ready to receive\0", 17)},
    {"", CLIENT, MISMATCH "msglength=29, signature=0x12345678, serialnum=-5, payloadLength=17, message=Ready to receive", 255, false, nullptr, tavuHeader(0x12345678, -5, 17) + std::string("Ready to receive\0", 17)},
    {"", CLIENT, MISMATCH "msglength=29, signature=0x87654321, serialnum=41, payloadLength=17, message=ready to receive", 255, false, nullptr, tavuHeader(0x87654321, 41, 17) + std::string("ready to receive\0", 17)},
    {"", CLIENT, MISMATCH "msglength=12", 255, false, nullptr, tavuHeader(0x12345678, 41, 17)},
    // The reader and the worker stop the intake; the daemon ends at the
    // delivery loop's first check, once its client has come.
    {"socket:netlink", PRINTED | CLIENT, READER "Exiting, socket create failed", 255},
    {"setsockopt:netlink", PRINTED | CLIENT, READER "setsockopt(SO_RCVBUFFORCE) error, errno=1", 255},
    {"bind:netlink#1,bind:netlink#2", PRINTED | CLIENT, READER "Exiting, bind of netlink socket failed", 255},
    {"recv:netlink", PRINTED | EVENT | CLIENT | ACK, READER "recv error, errno=104, netlinkDataQueue size: 0, hpEvQueue size: 0, sent to client: 0", RUNS_ON},
    {"pthread_mutex_lock:netlinkDataQueue@reader", EVENT | PRINTED | CLIENT, READER "Exiting, pthread_mutex_lock(netlinkDataQueue) failed", 255},
    {"pthread_mutex_unlock:netlinkDataQueue@reader", EVENT | PRINTED | CLIENT, READER "Exiting, pthread_mutex_unlock(netlinkDataQueue) failed rc=1", 255},
    {"calloc@reader", EVENT | PRINTED | CLIENT, WORKER "NULL pointer returned by g_netlinkDataQueue.front(), totalNetlinkEvents: 1, totalTavuEvents: 0, sentToClient 0", RUNS_ON},
    {"recv:netlink#1+", PRINTED | PAUSES, READER "recv error, errno=104, netlinkDataQueue size: 0, hpEvQueue size: 0, sent to client: 0", RUNS_ON},
    // Its port id taken by another socket first: the kernel picks one.
    {"bind:netlink#1", EVENT | PRINTED | CLIENT | ACK, READER "netlink port {pid} taken by another socket, bound to port {pid}", RUNS_ON},
    // The worker's first lock, before the client comes and most often before the reader has
    // its socket; a stop that falls between the reader's socket and its bind fails the bind.
    {"pthread_mutex_lock:netlinkDataQueue@worker#1", PRINTED | CLIENT, WORKER "Exiting, failed pthread_mutex_lock(netlinkDataQueue) rc=22", 255, false, READER "Exiting, bind of netlink socket failed"},
    // Not before the reader has its socket, which a stop must not be lost to.
    {"pthread_cond_wait:netlinkDataQueue@worker^", EVENT | PRINTED | CLIENT, WORKER "Exiting, failed pthread_cond_wait(netlinkDataQueue) rc=22", 255},
    {"pthread_mutex_unlock:netlinkDataQueue@worker", EVENT | PRINTED | CLIENT, WORKER "Exiting, failed pthread_mutex_unlock(netlinkDataQueue) rc=1", 255},
    {"pthread_mutex_lock:hpEvQueue@worker", EVENT | PRINTED | CLIENT, WORKER "Exiting, failed pthread_mutex_lock(hpEvQueue) rc=22", 255},
    {"pthread_mutex_unlock:hpEvQueue@worker", EVENT | PRINTED | CLIENT, WORKER "Exiting, failed pthread_mutex_unlock(hpEvQueue) rc=1", 255},
    {"pthread_mutex_lock:netlinkDataQueue@worker#2", EVENT | PRINTED | CLIENT, WORKER "Exiting, failed pthread_mutex_lock(netlinkDataQueue) rc=22", 255},
    // The delivery loop: after the handshake every report goes to the trace.
    {"pthread_mutex_lock:hpEvQueue@main#1", CLIENT, MAIN "Exiting, failed pthread_mutex_lock(hpEvQueue) rc=22", 1, true},
    {"pthread_cond_wait:hpEvQueue@main", CLIENT, MAIN "Exiting, failed pthread_cond_wait(hpEvQueue) rc=22", 255, true},
    {"pthread_mutex_unlock:hpEvQueue@main", EVENT | CLIENT, MAIN "pthread_mutex_unlock(hpEvQueue) failed, rc=1", 255, true},
    {"pthread_mutex_lock:hpEvQueue@main#2", EVENT | CLIENT | ACK, MAIN "Exiting, pthread_mutex_lock(hpEvQueue) failed rc=22", 255, true},
};
// clang-format on

class DaemonFaults : public ::testing::TestWithParam<tavuFaultRow> {};

// Where the daemon's thread `name` waits, "gone" once it has ended.
std::string tavuThreadWait(pid_t pid, const std::string& name) {
  std::error_code gone;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", gone)) {
    if (tavuReadFile(task.path() / "comm") == name + "\n")
      return tavuReadFile(task.path() / "wchan");
  }
  return "gone";
}

TEST_P(DaemonFaults, ReportedExactlyThenTheDaemonEndsAsItShould) {
  ASSERT_NO_FATAL_FAILURE(tavuRequireSandbox());
  const tavuFaultRow& row = GetParam();
  tavuDaemon daemon;
  tavuWireClient client;
  int pipe[2] = {-1, -1};
  ASSERT_TRUE(!(row.steps & PIPE) || pipe2(pipe, O_NONBLOCK) == 0);
  const bool launcher = row.steps & LAUNCHER;
  ASSERT_NO_FATAL_FAILURE(daemon.start(row.plan, launcher ? "/usr/sbin/kwbplugd" : "tavunetlink",
                                       launcher ? row.status : 0));
  if (row.steps & PIPE) {
    close(pipe[1]);
    tavuAwait("the inherited pipe closed", [&] { return read(pipe[0], pipe, 1) == 0; });
  }
  const std::string report =
      std::regex_replace(row.report, std::regex("\\{pid\\}"), std::to_string(daemon.pid()));
  if (row.steps & EVENT) {
    ASSERT_NO_FATAL_FAILURE(daemon.waitListening());
    tavuSendUevent({"ACTION=add", "DEVPATH=/class/uart/ttyS1", "SUBSYSTEM=uart", "SEQNUM=1",
                    "MAJOR=4", "MINOR=65"});
  }
  if (row.steps & PRINTED) daemon.waitPrinted(report);
  // A thread that stopped the intake has ended once its stop is stored: a
  // client that came between its report and its stop would be sent an event.
  const std::string stopper = report.rfind(WORKER, 0) == 0 ? "tavu-worker" : "tavu-reader";
  ASSERT_TRUE(!(row.steps & PRINTED) || row.status == RUNS_ON || tavuAwait(stopper + " ended", [&] {
    return tavuThreadWait(daemon.pid(), stopper) == "gone";
  }));
  ASSERT_TRUE(!(row.steps & PAUSES) || tavuAwait("the reader waits between failed receives", [&] {
    return tavuThreadWait(daemon.pid(), "tavu-reader").find("nanosleep") != std::string::npos;
  }));
  // A client that comes before the reader has its socket ends the daemon
  // at its first check; the rows that stop the reader have reported by now.
  if ((row.steps & CLIENT) && !(row.steps & PRINTED)) daemon.waitListening();
  if (row.steps & CLIENT) {
    client.connect();
    if (row.handshake == tavuHandshake(41)) {
      client.handshake(41);
    } else {
      client.send(row.handshake);
      shutdown(client.fd(), SHUT_WR);
    }
  }
  if (row.steps & ACK) client.acknowledge(client.receive().serial_num);
  EXPECT_EQ(launcher                ? row.status
            : row.status == RUNS_ON ? (daemon.running() ? RUNS_ON : 0)
                                    : daemon.waitEnd(),
            row.status);
  // Printed, the report is all there is (as often as it is met, beside the
  // raced one); traced, it is among the entries.
  if (row.traced) {
    EXPECT_THAT(daemon.trace(), ::testing::Contains(report));
  } else if (report.empty()) {
    EXPECT_EQ(daemon.output(), "");
  } else {
    EXPECT_THAT(tavuSplit(daemon.output()),
                ::testing::AllOf(
                    ::testing::Contains(report),
                    ::testing::Each(::testing::AnyOf(report, row.raced ? row.raced : report))));
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, DaemonFaults, ::testing::ValuesIn(TAVU_FAULT_ROWS));

}  // namespace
