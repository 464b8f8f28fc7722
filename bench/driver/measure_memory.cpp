// The daemon's memory per event held in g_hpEvQueue while no client is
// connected, against the bytes of the record and its two strings.
#include <cstring>
#include <string>

#include "bench/common/bench_clock.h"
#include "bench/driver/measures.h"
#include "bench/driver/spawn.h"
#include "bench/driver/workload.h"
#include "devnodes/netlink_event.h"

namespace {

constexpr int TAVU_SETTLE_MS = 300;
constexpr int TAVU_POLL_MS = 100;
constexpr int TAVU_DRAIN_TIMEOUT_MS = 300000;

// Waits until the daemon has taken every datagram from its socket and
// stopped working on them: the receive queue empty and no processor time
// spent for a few polls.
bool tavuWaitIdle(const tavuSubject& subject, std::string* error) {
  uint64_t ticks = 0, previous = UINT64_MAX;
  int calm = 0;
  const uint64_t deadline =
      tavuBenchNowNs() + static_cast<uint64_t>(TAVU_DRAIN_TIMEOUT_MS) * 1000000u;
  while (calm < 3) {
    tavuNetlinkSocketInfo info;
    if (!tavuSubjectSocket(subject, &info) || !tavuReadCpuTicks(subject.pid, &ticks) ||
        tavuBenchNowNs() > deadline) {
      *error = "the daemon stopped, or did not settle, while events were queued";
      return false;
    }
    calm = info.rmem == 0 && ticks == previous ? calm + 1 : 0;
    previous = ticks;
    tavuSleepMs(TAVU_POLL_MS);
  }
  return true;
}

// Bytes of the record and its strings for gpio<n>, on average over the
// device numbers of the workload.
double tavuRecordBytes(uint32_t devices) {
  uint64_t digits = 0;
  for (uint32_t n = 0; n < devices; ++n) digits += std::to_string(n).size();
  const double path = static_cast<double>(std::strlen("/class/gpio/gpio") + 1) +
                      static_cast<double>(digits) / devices;
  const double type = static_cast<double>(std::strlen("gpio") + 1);
  return static_cast<double>(sizeof(tavuNetlinkEvent)) + path + type;
}

bool tavuRss(const tavuSubject& subject, double* kb, std::string* error) {
  uint64_t value = 0;
  if (!tavuReadRssKb(subject.pid, &value)) {
    *error = "cannot read the daemon's resident memory";
    return false;
  }
  *kb = static_cast<double>(value);
  return true;
}

bool tavuFillAndDrain(tavuBenchContext& context, tavuSubject* daemon, std::string* error) {
  const tavuBenchConfig& config = context.config;
  const uint32_t devices = config.memoryEvents / 2;  // an add and a remove each
  double empty = 0, full = 0, drained = 0;
  tavuNetlinkSocketInfo before, after;
  tavuSleepMs(TAVU_SETTLE_MS);
  if (!tavuRss(*daemon, &empty, error) || !tavuSubjectSocket(*daemon, &before)) return false;
  tavuInjectRun injected;
  if (!tavuInject(config, TAVU_EVENTS_GPIO_CYCLE, 0, devices, config.memoryRate, &injected,
                  error) ||
      !tavuWaitIdle(*daemon, error) || !tavuRss(*daemon, &full, error) ||
      !tavuSubjectSocket(*daemon, &after)) {
    return false;
  }
  const double queued = static_cast<double>(injected.datagrams - (after.drops - before.drops));
  if (queued <= 0) {
    *error = "no event reached the daemon's queue";
    return false;
  }
  if (!tavuStartClient(config, daemon, error)) return false;
  tavuWaitClientCount(*daemon, static_cast<uint32_t>(queued), 2000, TAVU_DRAIN_TIMEOUT_MS);
  tavuSleepMs(TAVU_SETTLE_MS);
  if (!tavuRss(*daemon, &drained, error)) return false;
  tavuBenchResults& results = context.results;
  results.add(context.run, "memory_drops", "daemon", after.drops - before.drops);
  results.add(context.run, "rss_empty_kb", "daemon", empty);
  results.add(context.run, "rss_queued_kb", "daemon", full);
  results.add(context.run, "rss_drained_kb", "daemon", drained);
  results.add(context.run, "memory_per_event_bytes", "daemon", (full - empty) * 1024 / queued);
  results.add(context.run, "record_bytes", "daemon", tavuRecordBytes(devices));
  results.add(context.run, "memory_delivered", "daemon", tavuClientCount(*daemon));
  return true;
}

}  // namespace

bool tavuMeasureMemory(tavuBenchContext& context, std::string* error) {
  tavuSubject daemon;
  if (!tavuStartSubject(context.config, TAVU_SUBJECT_DAEMON, false, &daemon, error)) return false;
  const bool ok = tavuFillAndDrain(context, &daemon, error);
  tavuStopSubject(&daemon);
  return ok;
}
