// What the subjects cost at rest: the daemon's memory per event queued
// while no client is connected, against the bytes of the record and its
// two strings; and every subject's processor time while nothing happens.
#include <unistd.h>

#include <iterator>

#include "daemon_listens.h"
#include "driver.h"
#include "netlink_event.h"

namespace {

constexpr int TAVU_SETTLE_MS = 300;
constexpr int TAVU_IDLE_SETTLE_MS = 1000;
constexpr uint64_t TAVU_DRAIN_TIMEOUT_NS = 300000000000u;
constexpr tavuSubjectKind kIdleSubjects[] = {TAVU_FLOOR, TAVU_MDEV, TAVU_DAEMON};

// Until the daemon has taken every datagram off its socket and stopped
// working on them: the queue empty and no processor time spent for three
// polls in a row.
bool tavuWaitIdle(const tavuSubject& daemon) {
  const uint64_t deadline = tavuBenchNowNs() + TAVU_DRAIN_TIMEOUT_NS;
  uint64_t ticks = 0, previous = UINT64_MAX;
  tavuUeventSocket socket;
  for (int calm = 0; calm < 3; previous = ticks, tavuSleepMs(100)) {
    if (!tavuFindUeventSocket(daemon.pid, daemon.groups, &socket) ||
        !tavuReadUsage(daemon.pid, &ticks, nullptr) || tavuBenchNowNs() > deadline) {
      return false;
    }
    calm = socket.iv_queued == 0 && ticks == previous ? calm + 1 : 0;
  }
  return true;
}

// gpio<n> for the workload's n: the record, its path and its type.
double tavuRecordBytes(uint32_t devices) {
  uint64_t digits = 0;
  for (uint32_t n = 0; n < devices; ++n) digits += std::to_string(n).size();
  return static_cast<double>(sizeof(tavuNetlinkEvent) + sizeof "/class/gpio/gpio" + sizeof "gpio") +
         static_cast<double>(digits) / devices;
}

bool tavuFillAndDrain(const tavuBenchConfig& config, int run, tavuSubject* daemon,
                      std::string* error) {
  uint64_t empty = 0, queued = 0, drained = 0;
  uint32_t dropsBefore = 0, dropsAfter = 0;
  std::vector<uint64_t> sendNs;
  tavuSleepMs(TAVU_SETTLE_MS);
  if (!tavuReadUsage(daemon->pid, nullptr, &empty) ||
      !tavuSubjectDrops(*daemon, &dropsBefore, error) ||
      !tavuSendEvents(TAVU_GPIO_CYCLE, config.memoryEvents, config.memoryRate, &sendNs, error) ||
      !tavuWaitIdle(*daemon) || !tavuReadUsage(daemon->pid, nullptr, &queued) ||
      !tavuSubjectDrops(*daemon, &dropsAfter, error) ||
      dropsAfter - dropsBefore == config.memoryEvents || !tavuStartClient(config, daemon, error)) {
    if (error->empty()) *error = "the daemon did not queue the events, or ended";
    return false;
  }
  const uint32_t events = config.memoryEvents - (dropsAfter - dropsBefore);
  (void)tavuWaitClientCount(*daemon, events, 2000);
  tavuSleepMs(TAVU_SETTLE_MS);
  if (!tavuReadUsage(daemon->pid, nullptr, &drained))
    *error = "the daemon ended while its queue drained";
  tavuRecord(run, "resident bytes per queued event, 100,000 events, no client", "daemon",
             static_cast<double>(queued - empty) * 1024 / events);
  tavuRecord(run, "bytes of the record and its two strings", "daemon",
             tavuRecordBytes(config.memoryEvents / 2));
  tavuRecord(run, "daemon RSS empty (kB)", "daemon", static_cast<double>(empty));
  tavuRecord(run, "daemon RSS, 100,000 queued (kB)", "daemon", static_cast<double>(queued));
  tavuRecord(run, "daemon RSS, drained (kB)", "daemon", static_cast<double>(drained));
  return error->empty();
}

}  // namespace

bool tavuMeasureMemory(const tavuBenchConfig& config, int run, std::string* error) {
  tavuSubject daemon;
  const bool ok = tavuStartSubject(config, TAVU_DAEMON, false, &daemon, error) &&
                  tavuFillAndDrain(config, run, &daemon, error);
  tavuStopSubject(&daemon);
  return ok;
}

// Every subject runs at once, the daemon with its client connected, and
// none is sent an event: its processor time after settling, and again
// after the idle seconds.
bool tavuMeasureIdle(const tavuBenchConfig& config, int run, std::string* error) {
  constexpr size_t count = std::size(kIdleSubjects);
  tavuSubject subjects[count];
  uint64_t ticks[count][2] = {};
  bool ok = true;
  for (size_t i = 0; i < count; ++i) {
    ok = ok && tavuStartSubject(config, kIdleSubjects[i], true, &subjects[i], error);
  }
  for (int at = 0; at < 2; ++at) {
    if (ok) tavuSleepMs(at == 0 ? TAVU_IDLE_SETTLE_MS : config.idleSeconds * 1000);
    for (size_t i = 0; i < count; ++i)
      ok = ok && tavuReadUsage(subjects[i].pid, &ticks[i][at], nullptr);
  }
  for (tavuSubject& subject : subjects) tavuStopSubject(&subject);
  if (!ok && error->empty()) *error = "a subject ended while idle";
  for (size_t i = 0; ok && i < count; ++i) {
    tavuRecord(run, "processor time in 10 idle s (ms)", tavuSubjectName(kIdleSubjects[i]),
               static_cast<double>(ticks[i][1] - ticks[i][0]) * 1000 /
                   static_cast<double>(sysconf(_SC_CLK_TCK)));
  }
  return ok;
}
