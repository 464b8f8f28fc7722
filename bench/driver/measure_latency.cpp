// Latency at a steady rate: from a datagram's sending to its node (seen by
// the watcher at real-time priority) and to its arrival at the client.
#include "measures.h"
#include "node_watcher.h"
#include "results.h"

namespace {

// As "median_us" and "p99_us" after `prefix`, and as a curve of the picture.
void tavuRecordLatency(int run, const std::string& prefix, const char* subject,
                       const std::string& curve, const std::vector<double>& micros) {
  if (micros.empty()) return;
  tavuRecord(run, prefix + "median_us", subject, tavuPercentile(micros, 50));
  tavuRecord(run, prefix + "p99_us", subject, tavuPercentile(micros, 99));
  tavuRecordLatencies(std::string(subject) + curve, micros);
}

}  // namespace

bool tavuMeasureLatency(const tavuBenchConfig& config, int run, tavuSubject* subject,
                        std::string* error) {
  const uint32_t count = config.latencyEvents;
  tavuTrial trial;
  tavuClearNodes();
  tavuForgetNodeTimes();
  tavuSetWatcherRealtime(true);
  const bool ok =
      tavuRunTrial(subject, TAVU_UART_ADD, count, config.latencyRate, count, &trial, error);
  tavuSetWatcherRealtime(false);
  if (!ok) return false;
  std::vector<double> toNode, toClient;
  for (uint32_t n = 0; n < count; ++n) {
    const uint64_t made = tavuNodeCreatedNs(n);
    if (made != 0) toNode.push_back(static_cast<double>(made - trial.sendNs[n]) / 1000);
  }
  for (uint32_t i = trial.firstArrival; i < trial.firstArrival + trial.acked; ++i) {
    const tavuArrival& arrival = tavuArrivalRecords(subject->arrivals)[i];
    const auto seq = static_cast<uint32_t>(arrival.seq);
    if (seq < count)
      toClient.push_back(static_cast<double>(arrival.arrivalNs - trial.sendNs[seq]) / 1000);
  }
  tavuRecordLatency(run, "", tavuSubjectName(subject->kind), ", send → node", toNode);
  tavuRecordLatency(run, "client_", tavuSubjectName(subject->kind), ", send → client", toClient);
  tavuClearNodes();
  return true;
}
