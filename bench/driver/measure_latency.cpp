// Latency at a steady rate: from a datagram's sending to its node (seen by
// the watcher at real-time priority) and to its arrival at the client.
#include <algorithm>
#include <cmath>
#include <fstream>

#include "driver.h"

namespace {

const std::string TAVU_TO_NODE = "send → node, 5,000/s, ";

// By nearest rank.
double tavuPercentile(const std::vector<double>& sorted, double p) {
  const auto rank = static_cast<size_t>(std::ceil(p / 100 * static_cast<double>(sorted.size())));
  return sorted[std::max<size_t>(rank, 1) - 1];
}

// The run's median and 99th percentile, compared with the references' to
// the node, and every value, to the µs, for the picture's curve.
void tavuRecordLatency(const tavuBenchConfig& config, int run, const std::string& rows,
                       const std::string& subject, const char* to, std::vector<double> micros) {
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  const double median = tavuPercentile(micros, 50), p99 = tavuPercentile(micros, 99);
  tavuRecord(run, rows + "median (µs)", subject, median, TAVU_TO_NODE + "median (µs)");
  tavuRecord(run, rows + "p99 (µs)", subject, p99, TAVU_TO_NODE + "p99 (µs)");
  if (config.outDir.empty()) return;
  std::ofstream values(config.outDir + "/latency-" + subject + "-" + to + ".dat", std::ios::app);
  for (const double value : micros) values << std::lround(value) << '\n';
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
  const char* name = tavuSubjectName(subject->kind);
  tavuRecordLatency(config, run, TAVU_TO_NODE, name, "node", toNode);
  tavuRecordLatency(config, run, "send → arrival at the client, 5,000/s, ", name, "client",
                    toClient);
  tavuClearNodes();
  return true;
}
