#include "bench/driver/subject.h"

#include <sched.h>

#include <vector>

#include "bench/common/bench_clock.h"
#include "bench/driver/spawn.h"

namespace {

constexpr int TAVU_START_TIMEOUT_MS = 10000;

std::string tavuOutputPath(const tavuBenchConfig& config, tavuSubjectKind kind) {
  return config.workDir + "/" + tavuSubjectName(kind) + ".out";
}

std::vector<std::string> tavuSubjectCommand(const tavuBenchConfig& config, tavuSubjectKind kind) {
  switch (kind) {
    case TAVU_SUBJECT_FLOOR:
      return {config.binDir + "/tavubench-floor"};
    case TAVU_SUBJECT_FLOOR_WALK:
      return {config.binDir + "/tavubench-floor", "--walk"};
    case TAVU_SUBJECT_MDEV:
      return {config.busybox, "mdev", "-df"};
    case TAVU_SUBJECT_DAEMON:
    case TAVU_SUBJECT_DAEMON_PLAIN:
      return {config.binDir + "/tavunetlink"};
  }
  return {};
}

// The daemon forks into the background: its launcher ends at once and the
// daemon, orphaned, becomes our child (we are the subreaper).
pid_t tavuStartDaemon(const tavuBenchConfig& config, std::string* error) {
  const pid_t launcher = tavuSpawn(tavuSubjectCommand(config, TAVU_SUBJECT_DAEMON),
                                   tavuOutputPath(config, TAVU_SUBJECT_DAEMON));
  if (launcher < 0) {
    *error = "cannot start tavunetlink";
    return -1;
  }
  const int status = tavuWaitChild(launcher, TAVU_START_TIMEOUT_MS);
  if (status != 0) {
    tavuKillChild(launcher);
    *error = "tavunetlink's launcher ended with status " + std::to_string(status);
    return -1;
  }
  const pid_t daemon = tavuFindChild("tavunetlink", {}, TAVU_START_TIMEOUT_MS);
  if (daemon < 0) *error = "tavunetlink forked no daemon";
  return daemon;
}

bool tavuWaitForSocket(tavuSubject* subject, std::string* error) {
  const uint64_t deadline =
      tavuBenchNowNs() + static_cast<uint64_t>(TAVU_START_TIMEOUT_MS) * 1000000u;
  tavuNetlinkSocketInfo info;
  while (!tavuFindUeventSocket(subject->pid, &info)) {
    if (tavuBenchNowNs() >= deadline || tavuWaitChild(subject->pid, 0) >= 0) {
      *error = std::string(tavuSubjectName(subject->kind)) + " opened no uevent socket";
      return false;
    }
    tavuSleepMs(2);
  }
  subject->socketInode = info.inode;
  return true;
}

// The daemon's main thread comes first; start-up then makes the worker and
// last the reader. Threads a sanitizer runtime adds come between.
std::string tavuDaemonThreadRole(size_t index, size_t threads) {
  if (index == 0) return ".main";
  if (index + 1 == threads) return ".reader";
  if (index + 2 == threads) return ".worker";
  return ".thread" + std::to_string(index);
}

bool tavuLowerReader(pid_t daemon, std::string* error) {
  const std::vector<pid_t> tids = tavuThreadIds(daemon);
  const sched_param param{};
  if (tids.size() < 3 || sched_setscheduler(tids.back(), SCHED_OTHER, &param) != 0) {
    *error = "cannot put the daemon's reader thread back to SCHED_OTHER";
    return false;
  }
  return true;
}

}  // namespace

const char* tavuSubjectName(tavuSubjectKind kind) {
  switch (kind) {
    case TAVU_SUBJECT_FLOOR:
      return "floor";
    case TAVU_SUBJECT_FLOOR_WALK:
      return "floor-walk";
    case TAVU_SUBJECT_MDEV:
      return "mdev";
    case TAVU_SUBJECT_DAEMON:
      return "daemon";
    case TAVU_SUBJECT_DAEMON_PLAIN:
      return "daemon-plain";
  }
  return "?";
}

bool tavuStartSubject(const tavuBenchConfig& config, tavuSubjectKind kind, bool withClient,
                      tavuSubject* subject, std::string* error) {
  subject->kind = kind;
  if (tavuIsDaemon(kind)) {
    subject->pid = tavuStartDaemon(config, error);
  } else {
    subject->pid = tavuSpawn(tavuSubjectCommand(config, kind), tavuOutputPath(config, kind));
    if (subject->pid < 0) *error = std::string("cannot start ") + tavuSubjectName(kind);
  }
  if (subject->pid < 0) return false;
  bool ok = tavuWaitForSocket(subject, error);
  if (ok && kind == TAVU_SUBJECT_DAEMON_PLAIN) ok = tavuLowerReader(subject->pid, error);
  if (ok && tavuIsDaemon(kind)) ok = !withClient || tavuStartClient(config, subject, error);
  if (!ok) tavuStopSubject(subject);
  return ok;
}

bool tavuStartClient(const tavuBenchConfig& config, tavuSubject* subject, std::string* error) {
  static int clients = 0;
  const std::string log = config.workDir + "/client-" + std::to_string(++clients) + ".log";
  subject->clientPid = tavuSpawn({config.binDir + "/tavubench-client", "--log", log},
                                 config.workDir + "/client.out");
  const uint64_t deadline =
      tavuBenchNowNs() + static_cast<uint64_t>(TAVU_START_TIMEOUT_MS) * 1000000u;
  auto arrivals = std::make_unique<tavuArrivalLog>();
  bool opened = false;
  while (subject->clientPid > 0 && !opened && tavuBenchNowNs() < deadline) {
    opened = arrivals->open(log);  // the client renames it into place when whole
    if (!opened) tavuSleepMs(1);
  }
  while (opened && arrivals->state() == TAVU_CLIENT_STARTING && tavuBenchNowNs() < deadline) {
    tavuSleepMs(1);
  }
  if (!opened || arrivals->state() != TAVU_CLIENT_CONNECTED) {
    *error = "the benchmark client did not connect to the daemon";
    return false;
  }
  subject->log = std::move(arrivals);
  return true;
}

void tavuStopSubject(tavuSubject* subject) {
  tavuKillChild(subject->pid);
  // With the daemon gone the client sees the end and leaves by itself.
  if (subject->clientPid > 0 && tavuWaitChild(subject->clientPid, 2000) < 0) {
    tavuKillChild(subject->clientPid);
  }
  subject->pid = subject->clientPid = -1;
  subject->log.reset();
}

bool tavuSubjectSocket(const tavuSubject& subject, tavuNetlinkSocketInfo* info) {
  return tavuNetlinkSocketByInode(subject.socketInode, info);
}

uint32_t tavuClientCount(const tavuSubject& subject) {
  return subject.log ? subject.log->count() : 0;
}

uint32_t tavuWaitClientCount(const tavuSubject& subject, uint32_t target, int quietMs,
                             int timeoutMs) {
  const uint64_t start = tavuBenchNowNs();
  uint64_t lastChange = start;
  uint32_t count = tavuClientCount(subject);
  while (count < target) {
    tavuSleepMs(1);
    const uint64_t now = tavuBenchNowNs();
    const uint32_t latest = tavuClientCount(subject);
    if (latest != count) lastChange = now;
    count = latest;
    if (now - lastChange >= static_cast<uint64_t>(quietMs) * 1000000u ||
        now - start >= static_cast<uint64_t>(timeoutMs) * 1000000u) {
      break;
    }
  }
  return count;
}

std::vector<tavuThreadTime> tavuSubjectTimes(const tavuSubject& subject) {
  std::vector<tavuThreadTime> times;
  const std::vector<pid_t> tids = tavuThreadIds(subject.pid);
  for (size_t i = 0; i < tids.size(); ++i) {
    tavuThreadTime time;
    time.pid = subject.pid;
    time.tid = tids[i];
    time.name = tavuSubjectName(subject.kind);
    if (tavuIsDaemon(subject.kind)) {
      time.name += tavuDaemonThreadRole(i, tids.size());
    }
    times.push_back(time);
  }
  if (subject.clientPid > 0) {
    times.push_back({std::string(tavuSubjectName(subject.kind)) + ".client",
                     subject.clientPid,
                     subject.clientPid,
                     {}});
  }
  for (tavuThreadTime& time : times) (void)tavuReadSchedstat(time.pid, time.tid, &time.spent);
  return times;
}

std::vector<tavuThreadTime> tavuTimeSpent(const std::vector<tavuThreadTime>& before,
                                          const std::vector<tavuThreadTime>& after) {
  std::vector<tavuThreadTime> spent;
  for (const tavuThreadTime& end : after) {
    for (const tavuThreadTime& start : before) {
      if (start.tid != end.tid) continue;
      tavuThreadTime delta = end;
      delta.spent.cpuNs -= start.spent.cpuNs;
      delta.spent.waitNs -= start.spent.waitNs;
      delta.spent.slices -= start.spent.slices;
      spent.push_back(delta);
    }
  }
  return spent;
}
