// Node throughput and burst capacity.
#include <algorithm>

#include "measures.h"
#include "results.h"

namespace {

// The burst search stops when its bounds are this close.
constexpr uint32_t TAVU_BURST_STEP = 50;

double tavuRate(uint64_t events, uint64_t from, uint64_t to) {
  return to > from ? static_cast<double>(events) * 1e9 / static_cast<double>(to - from) : 0;
}

// One unpaced burst of adds into an empty directory; its drops.
bool tavuBurstDrops(tavuSubject* subject, uint32_t size, uint32_t* drops, std::string* error) {
  tavuTrial trial;
  tavuClearNodes();
  const bool ok = tavuRunTrial(subject, TAVU_UART_ADD, size, 0, size, &trial, error);
  *drops = trial.drops;
  tavuClearNodes();
  return ok;
}

}  // namespace

bool tavuMeasureNodes(const tavuBenchConfig& config, int run, tavuSubject* subject,
                      std::string* error) {
  const char* name = tavuSubjectName(subject->kind);
  const uint32_t count = config.throughputEvents;
  tavuTrial adds, removes;
  tavuClearNodes();
  if (!tavuRunTrial(subject, TAVU_UART_ADD, count, 0, count, &adds, error) ||
      !tavuRunTrial(subject, TAVU_UART_REMOVE, count, 0, 0, &removes, error)) {
    return false;
  }
  tavuRecord(run, "add_rate", name, tavuRate(adds.nodes, adds.sendNs[0], adds.lastNodeNs));
  tavuRecord(run, "remove_rate", name,
             tavuRate(adds.nodes - removes.nodes, removes.sendNs[0], removes.lastNodeNs));
  // A rate is only worth its events: one the kernel dropped was not served.
  tavuRecord(run, "add_drops", name, adds.drops);
  tavuRecord(run, "remove_drops", name, removes.drops);
  if (subject->arrivals != nullptr) {
    tavuRecord(run, "client_add_rate", name, tavuRate(adds.acked, adds.sendNs[0], adds.lastAckNs));
    tavuRecord(run, "client_remove_rate", name,
               tavuRate(removes.acked, removes.sendNs[0], removes.lastAckNs));
  }
  tavuClearNodes();
  return true;
}

bool tavuMeasureBurst(const tavuBenchConfig& config, int run, tavuSubject* subject,
                      std::string* error) {
  const char* name = tavuSubjectName(subject->kind);
  uint32_t good = 0, bad = 0, drops = 0;
  // Doubling until the first drop, then halving the gap between the
  // largest burst taken whole and the smallest that was not, down to 5%.
  for (uint32_t size = config.burstStart; bad == 0 && good < config.burstCap;
       size = std::min(size * 2, config.burstCap)) {
    if (!tavuBurstDrops(subject, size, &drops, error)) return false;
    (drops == 0 ? good : bad) = size;
  }
  while (bad != 0 && bad - good > std::max(TAVU_BURST_STEP, good / 20)) {
    const uint32_t size = std::max(good + 1, (good + bad) / 2 / TAVU_BURST_STEP * TAVU_BURST_STEP);
    if (!tavuBurstDrops(subject, size, &drops, error)) return false;
    (drops == 0 ? good : bad) = size;
  }
  tavuRecord(run, "burst_capacity", name, good);
  for (uint32_t size : config.dropSizes) {
    if (!tavuBurstDrops(subject, size, &drops, error)) return false;
    tavuRecord(run, "drops_" + std::to_string(size), name, drops);
  }
  return true;
}
