// Node throughput and burst capacity.
#include <algorithm>
#include <iterator>

#include "driver.h"

namespace {

// The burst search stops when its bounds are this close.
constexpr uint32_t TAVU_BURST_STEP = 50;

const char TAVU_ADDS[] =
    "adds/s, first datagram sent to last node present (1,000 unpaced, fastest burst of a run)";
const char TAVU_REMOVES[] = "removes/s, to last node gone (1,000 unpaced, fastest burst of a run)";

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
  double best[6] = {};
  for (int burst = 0; burst < config.throughputBursts; ++burst) {
    tavuTrial adds, removes;
    tavuClearNodes();
    if (!tavuRunTrial(subject, TAVU_UART_ADD, count, 0, count, &adds, error) ||
        !tavuRunTrial(subject, TAVU_UART_REMOVE, count, 0, 0, &removes, error)) {
      return false;
    }
    const double figures[] = {
        tavuRate(adds.nodes, adds.sendNs[0], adds.lastNodeNs),
        tavuRate(adds.nodes - removes.nodes, removes.sendNs[0], removes.lastNodeNs),
        static_cast<double>(adds.drops),
        static_cast<double>(removes.drops),
        tavuRate(adds.acked, adds.sendNs[0], adds.lastAckNs),
        tavuRate(removes.acked, removes.sendNs[0], removes.lastAckNs)};
    for (size_t i = 0; i < std::size(best); ++i) best[i] = std::max(best[i], figures[i]);
  }
  tavuRecord(run, TAVU_ADDS, name, best[0], TAVU_ADDS);
  tavuRecord(run, TAVU_REMOVES, name, best[1], TAVU_REMOVES);
  // The drops go beside the rates: a rate is only worth the events served.
  tavuRecord(run, "kernel drops in those bursts of adds (the most)", name, best[2]);
  tavuRecord(run, "kernel drops in those bursts of removes (the most)", name, best[3]);
  if (subject->arrivals != nullptr) {
    tavuRecord(run, "adds/s to the client's last acknowledgment", name, best[4], TAVU_ADDS);
    tavuRecord(run, "removes/s to the client's last acknowledgment", name, best[5], TAVU_REMOVES);
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
  const char* capacity = "largest unpaced burst without a kernel drop (tried up to 20,000)";
  tavuRecord(run, capacity, name, good, capacity);
  for (uint32_t size : config.dropSizes) {
    if (!tavuBurstDrops(subject, size, &drops, error)) return false;
    tavuRecord(run, "kernel drops, burst of " + std::to_string(size), name, drops);
  }
  return true;
}
