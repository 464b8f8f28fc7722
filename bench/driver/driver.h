// The driver's one internal header: what it was asked, its children and
// what it reads of them in /proc, the workload, the node watcher, the
// subjects, and the measures of a run with the figures they leave.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "arrivals.h"

// ---- What the driver was asked to measure, and the sizes of the workload ----

struct tavuBenchConfig {
  std::string binDir;    // tavunetlink, tavubench-floor, tavubench-client
  std::string mdevConf;  // becomes /etc/mdev.conf
  std::string outDir;    // the picture's data files, when given
  std::string workDir = "/tmp/tavubench";
  int runs = 7;
  bool callsOnly = false;  // the call count alone, no timed run
  uint32_t throughputEvents = 1000;
  int throughputBursts = 3;  // per run; the fastest counts
  uint32_t burstStart = 250;
  uint32_t burstCap = 20000;
  std::vector<uint32_t> dropSizes = {2000, 5000, 10000};
  uint32_t latencyRate = 5000;
  uint32_t latencyEvents = 10000;
  uint32_t memoryEvents = 100000;
  uint32_t memoryRate = 10000;
  int idleSeconds = 10;
  uint32_t callEvents = 300;
  uint32_t callRate = 200;
};

// ---- The driver's children (the subjects, the daemon's client, strace), and /proc ----

// Starts argv (found on PATH) with no input and its output appended to
// `output`; -1 on failure.
pid_t tavuSpawn(const std::vector<std::string>& argv, const std::string& output);

// A child's exit status (128 + signal), -1 while it runs at `deadlineNs`
// (CLOCK_MONOTONIC), -2 when it is no child (any more).
int tavuWaitChild(pid_t pid, uint64_t deadlineNs);

void tavuKillChild(pid_t pid);

void tavuSleepMs(int ms);

// What the whole process has cost: utime + stime in clock ticks, and its
// resident memory in kB (VmRSS). Either pointer may be null. (Its uevent
// socket: daemon_listens.h.)
bool tavuReadUsage(pid_t pid, uint64_t* ticks, uint64_t* rssKb);

// Whether every thread of `pid` is traced by `tracer`.
bool tavuAllThreadsTracedBy(pid_t pid, pid_t tracer);

std::string tavuReadWholeFile(const std::string& path);

// Counts a running process's system calls by name: strace -c attached to
// every thread of it (and to what it starts) for as long as asked, so that
// its start-up does not count.
struct tavuSyscallCount {
  pid_t iv_tracer = -1;
  std::string iv_summary;  // strace's table, then read back
  std::string iv_log;      // its own messages
};

// Attaches strace to `pid` and returns once every thread of it is traced.
// False with `error` set and nothing left running.
bool tavuStartSyscallCount(pid_t pid, const std::string& stem, tavuSyscallCount* count,
                           std::string* error);

// Detaches strace and reads each system call's count since the start into
// `calls`. A count never started gives none. False with `error` set.
bool tavuStopSyscallCount(tavuSyscallCount* count, std::map<std::string, uint64_t>* calls,
                          std::string* error);

// ---- The workload ----
// The benchmark plays the kernel: it sends the workload's uevents itself,
// noting the time just before each send, where every span it measures
// starts. And it makes the sandbox into a machine where mdev can serve them.

// Device n is /class/uart/ttyS<n>, numbers 4:<n>, SEQNUM n, node /dev/tts/<n>.
constexpr char TAVU_BENCH_NODE_DIR[] = "/dev/tts";

enum tavuBenchEvents {
  TAVU_UART_ADD,     // event n: add of ttyS<n>
  TAVU_UART_REMOVE,  // event n: remove of ttyS<n>
  TAVU_GPIO_CYCLE,   // event n: add (n even), then remove, of gpio<n/2>
};

// Sends events 0 to count-1, `rate` per second or, with 0, as fast as it
// can; `sendNs` gets each one's CLOCK_MONOTONIC time. False with `error`.
bool tavuSendEvents(tavuBenchEvents events, uint32_t count, uint32_t rate,
                    std::vector<uint64_t>* sendNs, std::string* error);

// A tmpfs over /sys with /sys/class/uart/ttyS<n>/dev ("4:<n>") for every n
// below `devices`, where mdev reads device numbers.
bool tavuMakeFakeSysfs(uint32_t devices, std::string* error);

// An overlay over /etc that adds `conf` as /etc/mdev.conf, the one place
// mdev reads it from.
bool tavuInstallMdevConf(const std::string& conf, const std::string& workDir, std::string* error);

// Removes the workload's nodes and their directory behind the subject's back.
void tavuRemoveBenchNodes();

// ---- The node watcher ----
// Watches the workload's node directory with inotify and keeps, for each
// node number, whether it is there and when it first appeared: the
// driver's view of when a device manager has done its work.

struct tavuNodeCounts {
  uint32_t present = 0;
  uint64_t lastChangeNs = 0;  // when a node last came or went
};

// Watches TAVU_BENCH_NODE_DIR, which comes and goes with its nodes, for
// nodes numbered below `capacity`. False with `error` set.
bool tavuStartNodeWatcher(uint32_t capacity, std::string* error);

// Waits until `present` nodes are there, or none has come or gone for
// `quietMs`, or `timeoutMs` has passed; returns the counts then.
tavuNodeCounts tavuWaitForNodes(uint32_t present, int quietMs, int timeoutMs);

// When node `number` first appeared since tavuForgetNodeTimes(); 0: not yet.
uint64_t tavuNodeCreatedNs(uint32_t number);
void tavuForgetNodeTimes();

// At real-time priority the watcher wakes for each node, for latencies;
// at the ordinary one it reads in batches and costs a burst less.
void tavuSetWatcherRealtime(bool realtime);

// ---- The programs measured ----
// The floor (also in its hardened form), BusyBox mdev in daemon mode, and
// tavunetlink with its client.

enum tavuSubjectKind { TAVU_FLOOR, TAVU_FLOOR_HARDENED, TAVU_MDEV, TAVU_DAEMON };
constexpr int TAVU_SUBJECT_KINDS = 4;

const char* tavuSubjectName(tavuSubjectKind kind);

struct tavuSubject {
  tavuSubjectKind kind = TAVU_FLOOR;
  pid_t pid = -1;       // the process that owns the uevent socket
  uint32_t groups = 0;  // the multicast groups its uevent socket joins
  pid_t clientPid = -1;
  tavuArrivals* arrivals = nullptr;  // the client's, once it runs
};

// Starts the subject and waits until its uevent socket listens and, for
// the daemon `withClient`, until its client has done the handshake. False
// with `error` set and nothing left running.
bool tavuStartSubject(const tavuBenchConfig& config, tavuSubjectKind kind, bool withClient,
                      tavuSubject* subject, std::string* error);

// Starts the daemon's client and waits for its handshake.
bool tavuStartClient(const tavuBenchConfig& config, tavuSubject* subject, std::string* error);

void tavuStopSubject(tavuSubject* subject);

// The kernel's drops for the subject's socket so far; false when it is gone.
bool tavuSubjectDrops(const tavuSubject& subject, uint32_t* drops, std::string* error);

// Events the client has acknowledged so far (0 without a client).
uint32_t tavuClientCount(const tavuSubject& subject);

// Waits until the client has acknowledged `target` events in all, or none
// for `quietMs`; returns the count then.
uint32_t tavuWaitClientCount(const tavuSubject& subject, uint32_t target, int quietMs);

// ---- The measures of one run ----
// Each records its figures under the run's number, and returns false with
// `error` set when it cannot be taken.

// A figure leaves the driver as a line of its output, from which
// scripts/bench makes the tables (medians, the daemon's ratios to the
// references within each run, the spread) and the picture: the table's
// row, the subject, the run and the value, tab-separated; a figure of the
// daemon's to compare also names the references' row (its own, or the
// node's for a figure to the client).
inline void tavuRecord(int run, const std::string& row, const std::string& subject, double value,
                       const std::string& comparedWith = "") {
  std::printf("%s\t%s\t%d\t%.6g\t%s\n", row.c_str(), subject.c_str(), run, value,
              comparedWith.c_str());
}

// Adds, then removes, per second to the last node and to the client's
// last acknowledgment.
bool tavuMeasureNodes(const tavuBenchConfig& config, int run, tavuSubject* subject,
                      std::string* error);

// The largest burst taken without a drop, and the drops at fixed sizes.
bool tavuMeasureBurst(const tavuBenchConfig& config, int run, tavuSubject* subject,
                      std::string* error);

// From sending to the node, and to the client, at a steady rate.
bool tavuMeasureLatency(const tavuBenchConfig& config, int run, tavuSubject* subject,
                        std::string* error);

// The daemon's memory per event queued with no client; starts its own.
bool tavuMeasureMemory(const tavuBenchConfig& config, int run, std::string* error);

// System calls per add and per remove of every subject, counted by strace
// over a paced stream; starts its own subjects.
bool tavuMeasureCalls(const tavuBenchConfig& config, std::string* error);

// Processor time of every subject while nothing happens; starts its own.
bool tavuMeasureIdle(const tavuBenchConfig& config, int run, std::string* error);

// One burst, or paced stream, of uevents sent to a running subject, and
// what came of it.
struct tavuTrial {
  std::vector<uint64_t> sendNs;  // each event's sending, by number
  uint32_t drops = 0;            // datagrams the kernel dropped for the subject
  uint32_t nodes = 0;            // nodes there at the end
  uint64_t lastNodeNs = 0;       // when the last came or went
  uint32_t firstArrival = 0;     // the client's first record of the trial
  uint32_t acked = 0;            // events the client acknowledged in it
  uint64_t lastAckNs = 0;
};

// Sends `count` events at `rate` (0: unpaced), waits until `present` nodes
// are there or none comes or goes any more and, for the daemon, until its
// client has every event the kernel did not drop.
bool tavuRunTrial(tavuSubject* subject, tavuBenchEvents events, uint32_t count, uint32_t rate,
                  uint32_t present, tavuTrial* trial, std::string* error);

// Removes the workload's nodes behind the subject's back, and waits until
// the watcher has seen them go.
void tavuClearNodes();
