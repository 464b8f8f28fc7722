// Latency at a steady rate: from a datagram's sending (tavuinject's own
// clock, just before the send) to its node (seen by the real-time watcher)
// and to the client's receipt of its message.
#include <vector>

#include "bench/driver/burst_trial.h"
#include "bench/driver/measures.h"
#include "bench/driver/stats.h"

namespace {

void tavuRecordSpread(tavuBenchContext& context, const tavuSubject& subject,
                      const std::string& metric, const std::vector<double>& micros) {
  const char* name = tavuSubjectName(subject.kind);
  if (micros.empty()) return;
  context.results.add(context.run, metric + "_median_us", name, tavuMedian(micros));
  context.results.add(context.run, metric + "_p99_us", name, tavuPercentile(micros, 99));
}

double tavuMicros(uint64_t from, uint64_t to) {
  return (static_cast<double>(to) - static_cast<double>(from)) / 1000.0;
}

}  // namespace

bool tavuMeasureLatency(tavuBenchContext& context, tavuSubject* subject, std::string* error) {
  const uint32_t count =
      static_cast<uint32_t>(context.config.latencyRate * context.config.latencySeconds);
  tavuClearNodes(context);
  context.watcher.resetTimes();
  context.watcher.setRealtime(true);
  const uint32_t ackedBefore = tavuClientCount(*subject);
  tavuTrial trial;
  const bool ok = tavuRunTrial(context, subject, TAVU_EVENTS_ADD, count, context.config.latencyRate,
                               count, &trial, error);
  context.watcher.setRealtime(false);
  if (!ok) return false;
  std::vector<double> toNode, toClient;
  for (uint32_t seq = 0; seq < count; ++seq) {
    const uint64_t sent = seq < trial.sendNs.size() ? trial.sendNs[seq] : 0;
    const uint64_t made = context.watcher.createdNs(seq);
    if (sent != 0 && made != 0) toNode.push_back(tavuMicros(sent, made));
  }
  for (uint32_t index = ackedBefore; subject->log && index < subject->log->count(); ++index) {
    const tavuArrival& arrival = subject->log->at(index);
    const auto seq = static_cast<size_t>(arrival.seq);
    const uint64_t sent = arrival.seq >= 0 && seq < trial.sendNs.size() ? trial.sendNs[seq] : 0;
    if (sent != 0) toClient.push_back(tavuMicros(sent, arrival.arrivalNs));
  }
  tavuRecordTimeSpent(context, trial, "paced_add");
  tavuRecordSpread(context, *subject, "latency_node", toNode);
  tavuRecordSpread(context, *subject, "latency_client", toClient);
  context.results.add(context.run, "latency_drops", tavuSubjectName(subject->kind), trial.drops);
  tavuClearNodes(context);
  return true;
}
