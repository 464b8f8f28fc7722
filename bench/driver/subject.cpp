#include "driver.h"

#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "daemon_listens.h"

namespace {

constexpr uint64_t TAVU_START_TIMEOUT_NS = 10000000000u;

// The daemon forks into the background: its launcher ends at once, and the
// daemon, orphaned, becomes our child. The sandbox holds no other.
pid_t tavuStartDaemon(pid_t launcher) {
  if (launcher < 0 || tavuWaitChild(launcher, tavuBenchNowNs() + TAVU_START_TIMEOUT_NS) != 0) {
    tavuKillChild(launcher);
    return -1;
  }
  for (const uint64_t deadline = tavuBenchNowNs() + TAVU_START_TIMEOUT_NS;
       tavuBenchNowNs() < deadline; tavuSleepMs(2)) {
    pid_t found = -1;
    DIR* proc = opendir("/proc");
    while (const dirent* entry = found < 0 ? readdir(proc) : nullptr) {
      const std::string comm = tavuReadWholeFile("/proc/" + std::string(entry->d_name) + "/comm");
      if (comm == "tavunetlink\n") found = static_cast<pid_t>(std::atoi(entry->d_name));
    }
    closedir(proc);
    if (found > 0) return found;
  }
  return -1;
}

// mdev joins the kernel's group alone; the others every group.
bool tavuWaitForSocket(tavuSubject* subject, std::string* error) {
  const uint64_t deadline = tavuBenchNowNs() + TAVU_START_TIMEOUT_NS;
  subject->groups = subject->kind == TAVU_MDEV ? 1 : UINT32_MAX;
  tavuUeventSocket socket;
  while (!tavuFindUeventSocket(subject->pid, subject->groups, &socket)) {
    if (tavuBenchNowNs() >= deadline || tavuWaitChild(subject->pid, 0) != -1) {
      *error = std::string(tavuSubjectName(subject->kind)) + " opened no uevent socket";
      return false;
    }
    tavuSleepMs(2);
  }
  return true;
}

}  // namespace

const char* tavuSubjectName(tavuSubjectKind kind) {
  static const char* const kNames[] = {"floor", "floor-hardened", "mdev", "daemon"};
  return kNames[kind];
}

bool tavuStartSubject(const tavuBenchConfig& config, tavuSubjectKind kind, bool withClient,
                      tavuSubject* subject, std::string* error) {
  const std::string output = config.workDir + "/" + tavuSubjectName(kind) + ".out";
  const std::vector<std::string> commands[] = {{config.binDir + "/tavubench-floor"},
                                               {config.binDir + "/tavubench-floor", "--hardened"},
                                               {"busybox", "mdev", "-df"},
                                               {config.binDir + "/tavunetlink"}};
  *subject = tavuSubject();
  subject->kind = kind;
  subject->pid = tavuSpawn(commands[kind], output);
  if (kind == TAVU_DAEMON) subject->pid = tavuStartDaemon(subject->pid);
  if (subject->pid < 0) {
    *error = std::string("cannot start ") + tavuSubjectName(kind) + " (see " + output + ")";
    return false;
  }
  const bool ok = tavuWaitForSocket(subject, error) &&
                  (kind != TAVU_DAEMON || !withClient || tavuStartClient(config, subject, error));
  if (!ok) tavuStopSubject(subject);
  return ok;
}

bool tavuStartClient(const tavuBenchConfig& config, tavuSubject* subject, std::string* error) {
  const std::string path = config.workDir + "/arrivals";
  const std::string output = config.workDir + "/client.out";
  subject->arrivals = tavuMapArrivals(path.c_str(), true);
  if (subject->arrivals == nullptr) {
    *error = "cannot make " + path;
    return false;
  }
  subject->clientPid = tavuSpawn({config.binDir + "/tavubench-client", "--log", path}, output);
  const uint64_t deadline = tavuBenchNowNs() + TAVU_START_TIMEOUT_NS;
  while (subject->clientPid > 0 && subject->arrivals->state == TAVU_CLIENT_STARTING &&
         tavuWaitChild(subject->clientPid, 0) == -1 && tavuBenchNowNs() < deadline) {
    tavuSleepMs(1);
  }
  (void)unlink(path.c_str());  // mapped by both by now, or of no more use
  if (subject->arrivals->state != TAVU_CLIENT_CONNECTED) {
    *error = "the benchmark client did not connect (see " + output + ")";
    return false;
  }
  return true;
}

void tavuStopSubject(tavuSubject* subject) {
  tavuKillChild(subject->pid);
  tavuKillChild(subject->clientPid);
  if (subject->arrivals != nullptr) munmap(subject->arrivals, TAVU_ARRIVALS_SIZE);
  *subject = tavuSubject();
}

bool tavuSubjectDrops(const tavuSubject& subject, uint32_t* drops, std::string* error) {
  tavuUeventSocket socket;
  if (!tavuFindUeventSocket(subject.pid, subject.groups, &socket)) {
    *error = std::string(tavuSubjectName(subject.kind)) + "'s uevent socket is gone";
    return false;
  }
  *drops = static_cast<uint32_t>(socket.iv_drops);
  return true;
}

uint32_t tavuClientCount(const tavuSubject& subject) {
  return subject.arrivals != nullptr ? subject.arrivals->count.load(std::memory_order_acquire) : 0;
}

uint32_t tavuWaitClientCount(const tavuSubject& subject, uint32_t target, int quietMs) {
  const uint64_t quiet = static_cast<uint64_t>(quietMs) * 1000000u;
  uint64_t lastChange = tavuBenchNowNs();
  uint32_t count = tavuClientCount(subject);
  while (count < target && tavuBenchNowNs() - lastChange < quiet) {
    tavuSleepMs(1);
    const uint32_t latest = tavuClientCount(subject);
    if (latest != count) lastChange = tavuBenchNowNs();
    count = latest;
  }
  return count;
}
