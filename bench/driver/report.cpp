#include "bench/driver/report.h"

#include <cmath>
#include <cstdio>

namespace {

struct tavuRow {
  const char* metric;
  const char* label;
  const char* referenceMetric;  // what the daemon's figure is divided by; null: the same
};

const tavuRow kRows[] = {
    {"add_rate", "adds/s, first datagram to last node present (1,000 unpaced)", nullptr},
    {"remove_rate", "removes/s, first datagram to last node gone (1,000 unpaced)", nullptr},
    {"add_burst_drops", "kernel drops in that burst of adds", nullptr},
    {"send_rate", "tavuinject's own sending rate in that burst, datagrams/s", nullptr},
    {"delivery_add_rate", "adds/s to the client's last acknowledgment", "add_rate"},
    {"delivery_remove_rate", "removes/s to the client's last acknowledgment", "remove_rate"},
    {"burst_capacity", "largest unpaced burst with no kernel drop", nullptr},
    {"drops_2000", "kernel drops, unpaced burst of 2,000", nullptr},
    {"drops_5000", "kernel drops, unpaced burst of 5,000", nullptr},
    {"drops_10000", "kernel drops, unpaced burst of 10,000", nullptr},
    {"latency_node_median_us", "send to node present at 5,000/s, median, us", nullptr},
    {"latency_node_p99_us", "send to node present at 5,000/s, p99, us", nullptr},
    {"latency_client_median_us", "send to arrival at the client at 5,000/s, median, us",
     "latency_node_median_us"},
    {"latency_client_p99_us", "send to arrival at the client at 5,000/s, p99, us",
     "latency_node_p99_us"},
    {"latency_drops", "kernel drops at 5,000/s", nullptr},
    {"memory_per_event_bytes", "resident bytes per queued event (no client)", nullptr},
    {"record_bytes", "bytes of the record and its two strings", nullptr},
    {"rss_empty_kb", "daemon RSS before the events, kB", nullptr},
    {"rss_queued_kb", "daemon RSS with every event queued, kB", nullptr},
    {"rss_drained_kb", "daemon RSS after the client drained them, kB", nullptr},
    {"memory_drops", "kernel drops while queueing (paced)", nullptr},
    {"idle_cpu_ms", "processor time in the idle period, ms", nullptr},
    {"rss_idle_kb", "RSS when idle, kB", nullptr},
    {"ack_each_us", "Unix socket, each message acknowledged, us/message", nullptr},
    {"ack_streamed_us", "Unix socket, messages streamed, us/message", nullptr},
};

const char* const kSubjects[] = {"floor", "floor-walk", "mdev", "daemon", "daemon-plain", "socket"};
// Whose figures are divided by the references', and by which.
const char* const kRatioSubjects[] = {"daemon", "daemon-plain"};
const char* const kReferences[] = {"floor", "mdev"};

std::string tavuCell(double value) {
  if (!std::isfinite(value)) return "";
  char text[32];
  const double magnitude = std::fabs(value);
  std::snprintf(text, sizeof text, magnitude >= 100 || value == std::floor(value) ? "%.0f" : "%.2f",
                value);
  return text;
}

std::string tavuRatioCell(double value) {
  if (!std::isfinite(value)) return "";
  char text[32];
  std::snprintf(text, sizeof text, "%.2fx", value);
  return text;
}

std::string tavuRatio(const tavuBenchResults& results, const tavuRow& row, const char* subject,
                      const char* reference) {
  const std::string other = row.referenceMetric != nullptr ? row.referenceMetric : row.metric;
  if (!results.has(row.metric, subject) || !results.has(other, reference)) return "";
  return tavuRatioCell(results.medianRatio(row.metric, subject, other, reference));
}

const char* const kThreads[] = {"floor",
                                "floor-walk",
                                "mdev",
                                "daemon.reader",
                                "daemon.worker",
                                "daemon.main",
                                "daemon.client",
                                "daemon+client",
                                "daemon-plain.reader",
                                "daemon-plain.worker",
                                "daemon-plain.main",
                                "daemon-plain.client",
                                "daemon-plain+client"};
const char* const kCostMetrics[] = {
    "burst_add_cpu_us",    "burst_add_wait_us",    "burst_add_slices",
    "burst_remove_cpu_us", "burst_remove_wait_us", "burst_remove_slices",
    "paced_add_cpu_us",    "paced_add_wait_us",    "paced_add_slices"};

}  // namespace

std::string tavuCostTable(const tavuBenchResults& results) {
  std::string table =
      "| per event handled (median of runs) | burst add: run us | wait us | slices "
      "| burst remove: run us | wait us | slices | 5,000/s add: run us | wait us | slices |\n"
      "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
  bool any = false;
  for (const char* thread : kThreads) {
    std::string line = std::string("| ") + thread + " ";
    bool measured = false;
    for (const char* metric : kCostMetrics) {
      measured = measured || results.has(metric, thread);
      line += "| " + tavuCell(results.median(metric, thread)) + " ";
    }
    if (measured) table += line + "|\n";
    any = any || measured;
  }
  return any ? table : "";
}

std::string tavuResultsTable(const tavuBenchResults& results) {
  std::string table =
      "| figure (median of runs) | floor | floor-walk | mdev | daemon | daemon-plain | socket "
      "| daemon / floor | daemon / mdev | daemon-plain / floor | daemon-plain / mdev |\n"
      "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
  for (const tavuRow& row : kRows) {
    bool any = false;
    std::string line = std::string("| ") + row.label + " ";
    for (const char* subject : kSubjects) {
      any = any || results.has(row.metric, subject);
      line += "| " + tavuCell(results.median(row.metric, subject)) + " ";
    }
    for (const char* subject : kRatioSubjects) {
      for (const char* reference : kReferences) {
        line += "| " + tavuRatio(results, row, subject, reference) + " ";
      }
    }
    line += "|\n";
    if (any) table += line;
  }
  return table;
}

std::vector<tavuTargetVerdict> tavuCheckTargets(const tavuBenchResults& results,
                                                const std::string& daemon) {
  std::vector<tavuTargetVerdict> verdicts;
  auto ratio = [&](const char* metric, const char* reference, const char* referenceMetric) {
    return results.medianRatio(metric, daemon, referenceMetric, reference);
  };
  auto check = [&](const std::string& target, double value, bool met) {
    if (std::isfinite(value)) verdicts.push_back({target, value, met});
  };
  for (const char* metric : {"add_rate", "remove_rate"}) {
    const double toFloor = ratio(metric, "floor", metric);
    const double toMdev = ratio(metric, "mdev", metric);
    check(std::string(metric) + " >= 0.8x floor", toFloor, toFloor >= 0.8);
    check(std::string(metric) + " >= 2x mdev", toMdev, toMdev >= 2);
  }
  const double burst = ratio("burst_capacity", "floor", "burst_capacity");
  check("burst_capacity >= floor's", burst, burst >= 1);
  const double idle = results.median("idle_cpu_ms", daemon);
  check("idle_cpu_ms == 0", idle, idle == 0);
  const double memory =
      results.median("memory_per_event_bytes", daemon) / results.median("record_bytes", daemon);
  check("memory per queued event <= 2x record and strings", memory, memory <= 2);
  return verdicts;
}

std::string tavuVerdictText(const std::vector<tavuTargetVerdict>& verdicts) {
  std::string text;
  for (const tavuTargetVerdict& verdict : verdicts) {
    char line[160];
    std::snprintf(line, sizeof line, "- %s: %s (%.3g)\n", verdict.target.c_str(),
                  verdict.met ? "met" : "MISSED", verdict.value);
    text += line;
  }
  return text;
}
