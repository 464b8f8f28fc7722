// The programs measured: the floor (also in its daemon-like walking form),
// BusyBox mdev in daemon mode, and tavunetlink with its client.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench/common/arrival_log.h"
#include "bench/driver/bench_options.h"
#include "bench/driver/proc_probe.h"

enum tavuSubjectKind {
  TAVU_SUBJECT_FLOOR,
  TAVU_SUBJECT_FLOOR_WALK,
  TAVU_SUBJECT_MDEV,
  TAVU_SUBJECT_DAEMON,
  TAVU_SUBJECT_DAEMON_PLAIN,  // the daemon, its reader put back to SCHED_OTHER
};

// True for both forms of the daemon.
inline bool tavuIsDaemon(tavuSubjectKind kind) {
  return kind == TAVU_SUBJECT_DAEMON || kind == TAVU_SUBJECT_DAEMON_PLAIN;
}

const char* tavuSubjectName(tavuSubjectKind kind);

struct tavuSubject {
  tavuSubjectKind kind = TAVU_SUBJECT_FLOOR;
  pid_t pid = -1;  // the process that owns the uevent socket
  uint64_t socketInode = 0;
  pid_t clientPid = -1;
  std::unique_ptr<tavuArrivalLog> log;  // the client's, once it runs
};

// Starts the subject and waits until its uevent socket listens; for the
// daemon with `withClient`, also until its client has connected. False
// with `error` set (and nothing left running).
bool tavuStartSubject(const tavuBenchConfig& config, tavuSubjectKind kind, bool withClient,
                      tavuSubject* subject, std::string* error);

// Starts the daemon's client and waits for its handshake.
bool tavuStartClient(const tavuBenchConfig& config, tavuSubject* subject, std::string* error);

// Ends the subject and its client.
void tavuStopSubject(tavuSubject* subject);

// The subject's uevent socket as it is now (drops, bytes waiting).
bool tavuSubjectSocket(const tavuSubject& subject, tavuNetlinkSocketInfo* info);

// Events the client has acknowledged so far (0 without a client).
uint32_t tavuClientCount(const tavuSubject& subject);

// Waits until the client has acknowledged `target` events in all, or none
// came for `quietMs`; returns the count then.
uint32_t tavuWaitClientCount(const tavuSubject& subject, uint32_t target, int quietMs,
                             int timeoutMs);

// Processor time of one thread of a subject (or of the daemon's client).
struct tavuThreadTime {
  std::string name;  // "floor", "mdev", "daemon.main", "daemon-plain.reader", "daemon.client", ...
  pid_t pid = -1;
  pid_t tid = -1;
  tavuSchedstat spent;
};

// The subject's threads and its client, with their times as they are now.
// The daemon starts its worker before its reader, so thread ids tell them
// apart.
std::vector<tavuThreadTime> tavuSubjectTimes(const tavuSubject& subject);

// `after` minus `before`, thread by thread.
std::vector<tavuThreadTime> tavuTimeSpent(const std::vector<tavuThreadTime>& before,
                                          const std::vector<tavuThreadTime>& after);
