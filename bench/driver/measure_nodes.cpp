// Node throughput and burst capacity.
#include <algorithm>
#include <map>

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

// The fastest of a few bursts each way: a burst of 1,000 lasts about 10 ms,
// and on a shared machine a stall of the same order only ever slows one
// down. The drops are the most any burst had.
bool tavuMeasureNodes(const tavuBenchConfig& config, int run, tavuSubject* subject,
                      std::string* error) {
  const char* name = tavuSubjectName(subject->kind);
  const uint32_t count = config.throughputEvents;
  std::map<std::string, double> best;
  for (int burst = 0; burst < config.throughputBursts; ++burst) {
    tavuTrial adds, removes;
    tavuClearNodes();
    if (!tavuRunTrial(subject, TAVU_UART_ADD, count, 0, count, &adds, error) ||
        !tavuRunTrial(subject, TAVU_UART_REMOVE, count, 0, 0, &removes, error)) {
      return false;
    }
    std::map<std::string, double> figures = {
        {"add_rate", tavuRate(adds.nodes, adds.sendNs[0], adds.lastNodeNs)},
        {"remove_rate",
         tavuRate(adds.nodes - removes.nodes, removes.sendNs[0], removes.lastNodeNs)},
        {"add_drops", adds.drops},
        {"remove_drops", removes.drops}};
    if (subject->arrivals != nullptr) {
      figures["client_add_rate"] = tavuRate(adds.acked, adds.sendNs[0], adds.lastAckNs);
      figures["client_remove_rate"] = tavuRate(removes.acked, removes.sendNs[0], removes.lastAckNs);
    }
    for (const auto& figure : figures)
      best[figure.first] = std::max(best[figure.first], figure.second);
  }
  // The drops go beside the rates: a rate is only worth the events served.
  for (const auto& figure : best) tavuRecord(run, figure.first, name, figure.second);
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
