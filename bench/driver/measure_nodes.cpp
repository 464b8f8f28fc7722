// Node throughput and burst capacity.
#include <algorithm>

#include "bench/driver/burst_trial.h"
#include "bench/driver/measures.h"

namespace {

// Bisection stops when the bounds are this close (and at least 50 apart).
constexpr double TAVU_BURST_PRECISION = 0.05;
constexpr uint32_t TAVU_BURST_STEP = 50;

void tavuRecord(tavuBenchContext& context, const tavuSubject& subject, const std::string& metric,
                double value) {
  context.results.add(context.run, metric, tavuSubjectName(subject.kind), value);
}

// One unpaced burst of adds from an empty directory; returns its drops.
bool tavuBurstDrops(tavuBenchContext& context, tavuSubject* subject, uint32_t size, uint32_t* drops,
                    std::string* error) {
  tavuTrial trial;
  tavuClearNodes(context);
  if (!tavuRunTrial(context, subject, TAVU_EVENTS_ADD, size, 0, size, &trial, error)) {
    return false;
  }
  *drops = trial.drops;
  tavuClearNodes(context);
  return true;
}

uint32_t tavuRoundedMiddle(uint32_t low, uint32_t high) {
  const uint32_t middle = (low + high) / 2;
  return std::max(low + 1, middle / TAVU_BURST_STEP * TAVU_BURST_STEP);
}

}  // namespace

bool tavuMeasureNodes(tavuBenchContext& context, tavuSubject* subject, std::string* error) {
  const uint32_t count = context.config.throughputEvents;
  tavuTrial adds, removes;
  tavuClearNodes(context);
  if (!tavuRunTrial(context, subject, TAVU_EVENTS_ADD, count, 0, count, &adds, error)) {
    return false;
  }
  const uint32_t made = adds.after.present - adds.before.present;
  if (!tavuRunTrial(context, subject, TAVU_EVENTS_REMOVE, count, 0, 0, &removes, error)) {
    return false;
  }
  const uint32_t gone = removes.before.present - removes.after.present;
  tavuRecord(context, *subject, "add_rate", tavuRate(made, adds.firstNs, adds.after.lastChangeNs));
  tavuRecord(context, *subject, "remove_rate",
             tavuRate(gone, removes.firstNs, removes.after.lastChangeNs));
  tavuRecord(context, *subject, "add_burst_drops", adds.drops);
  tavuRecordTimeSpent(context, adds, "burst_add");
  tavuRecordTimeSpent(context, removes, "burst_remove");
  tavuRecord(context, *subject, "remove_burst_drops", removes.drops);
  if (adds.sendSeconds > 0)
    tavuRecord(context, *subject, "send_rate", adds.sent / adds.sendSeconds);
  if (subject->log) {
    tavuRecord(context, *subject, "delivery_add_rate",
               tavuRate(adds.acked, adds.firstNs, adds.lastAckNs));
    tavuRecord(context, *subject, "delivery_remove_rate",
               tavuRate(removes.acked, removes.firstNs, removes.lastAckNs));
  }
  tavuClearNodes(context);
  return true;
}

bool tavuMeasureBurst(tavuBenchContext& context, tavuSubject* subject, std::string* error) {
  const tavuBenchConfig& config = context.config;
  uint32_t good = 0, bad = 0, drops = 0;
  // Doubling until the first drop, then bisecting between the last burst
  // taken whole and the first one that was not.
  for (uint32_t size = config.burstStart; bad == 0;) {
    if (!tavuBurstDrops(context, subject, size, &drops, error)) return false;
    if (drops != 0) {
      bad = size;
    } else {
      good = size;
      if (size >= config.burstCap) break;
      size = std::min(size * 2, config.burstCap);
    }
  }
  while (bad != 0 &&
         bad - good > std::max<uint32_t>(TAVU_BURST_STEP,
                                         static_cast<uint32_t>(good * TAVU_BURST_PRECISION))) {
    const uint32_t size = tavuRoundedMiddle(good, bad);
    if (!tavuBurstDrops(context, subject, size, &drops, error)) return false;
    (drops == 0 ? good : bad) = size;
  }
  tavuRecord(context, *subject, "burst_capacity", good);
  tavuRecord(context, *subject, "burst_capped", bad == 0 ? 1 : 0);
  for (uint32_t size : config.dropSizes) {
    if (!tavuBurstDrops(context, subject, size, &drops, error)) return false;
    tavuRecord(context, *subject, "drops_" + std::to_string(size), drops);
  }
  return true;
}
