#include "bench/driver/burst_trial.h"

#include <utility>

#include "bench/driver/spawn.h"

namespace {

constexpr int TAVU_NODES_QUIET_MS = 300;
constexpr int TAVU_CLIENT_QUIET_MS = 1000;
constexpr int TAVU_TRIAL_TIMEOUT_MS = 120000;

bool tavuSocketDrops(const tavuSubject& subject, uint32_t* drops, std::string* error) {
  tavuNetlinkSocketInfo info;
  if (!tavuSubjectSocket(subject, &info)) {
    *error = std::string(tavuSubjectName(subject.kind)) + "'s uevent socket is gone";
    return false;
  }
  *drops = info.drops;
  return true;
}

}  // namespace

double tavuRate(uint64_t events, uint64_t from, uint64_t to) {
  return to > from ? static_cast<double>(events) * 1e9 / static_cast<double>(to - from) : 0;
}

void tavuClearNodes(tavuBenchContext& context) {
  tavuRemoveBenchNodes();
  context.watcher.waitUntil([](const tavuNodeCounts& counts) { return counts.present == 0; },
                            TAVU_NODES_QUIET_MS, TAVU_TRIAL_TIMEOUT_MS);
}

void tavuRecordTimeSpent(tavuBenchContext& context, const tavuTrial& trial,
                         const std::string& metric) {
  const double handled = trial.sent - trial.drops;
  if (handled <= 0) return;
  tavuSchedstat sum;
  auto record = [&](const std::string& thread, const tavuSchedstat& spent) {
    const auto perEvent = [handled](uint64_t total) {
      return static_cast<double>(total) / handled;
    };
    context.results.add(context.run, metric + "_cpu_us", thread, perEvent(spent.cpuNs) / 1e3);
    context.results.add(context.run, metric + "_wait_us", thread, perEvent(spent.waitNs) / 1e3);
    context.results.add(context.run, metric + "_slices", thread, perEvent(spent.slices));
  };
  for (const tavuThreadTime& thread : trial.spent) {
    record(thread.name, thread.spent);
    sum.cpuNs += thread.spent.cpuNs;
    sum.waitNs += thread.spent.waitNs;
    sum.slices += thread.spent.slices;
  }
  if (trial.spent.size() > 1) record(std::string(tavuSubjectName(trial.kind)) + "+client", sum);
}

bool tavuRunTrial(tavuBenchContext& context, tavuSubject* subject, tavuBenchEvents events,
                  uint32_t count, uint32_t rate, uint32_t presentTarget, tavuTrial* trial,
                  std::string* error) {
  *trial = tavuTrial();
  trial->kind = subject->kind;
  uint32_t dropsBefore = 0, dropsAfter = 0;
  if (!tavuSocketDrops(*subject, &dropsBefore, error)) return false;
  const uint32_t ackedBefore = tavuClientCount(*subject);
  trial->before = context.watcher.counts();
  const std::vector<tavuThreadTime> timesBefore = tavuSubjectTimes(*subject);
  tavuInjectRun injected;
  if (!tavuInject(context.config, events, 0, count, rate, &injected, error)) return false;
  trial->sent = static_cast<uint32_t>(injected.datagrams);
  trial->sendSeconds = injected.seconds;
  trial->sendNs = std::move(injected.sendNs);
  trial->firstNs = trial->sendNs.empty() ? 0 : trial->sendNs.front();
  trial->after = context.watcher.waitUntil(
      [presentTarget](const tavuNodeCounts& counts) { return counts.present == presentTarget; },
      TAVU_NODES_QUIET_MS, TAVU_TRIAL_TIMEOUT_MS);
  if (!tavuSocketDrops(*subject, &dropsAfter, error)) return false;
  trial->drops = dropsAfter - dropsBefore;
  if (subject->log) {
    const uint32_t target = ackedBefore + trial->sent - trial->drops;
    const uint32_t acked =
        tavuWaitClientCount(*subject, target, TAVU_CLIENT_QUIET_MS, TAVU_TRIAL_TIMEOUT_MS);
    trial->acked = acked - ackedBefore;
    if (acked > ackedBefore) trial->lastAckNs = subject->log->at(acked - 1).ackNs;
  }
  trial->spent = tavuTimeSpent(timesBefore, tavuSubjectTimes(*subject));
  if (trial->firstNs == 0) {
    *error = "tavuinject sent nothing";
    return false;
  }
  return true;
}
