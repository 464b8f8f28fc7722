#include "bench/driver/results.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "bench/driver/stats.h"

namespace {

const std::map<int, double>* tavuRuns(
    const std::map<std::string, std::map<std::string, std::map<int, double>>>& all,
    const std::string& metric, const std::string& subject) {
  const auto bySubject = all.find(metric);
  if (bySubject == all.end()) return nullptr;
  const auto byRun = bySubject->second.find(subject);
  return byRun == bySubject->second.end() ? nullptr : &byRun->second;
}

std::string tavuJsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

}  // namespace

void tavuBenchResults::add(int run, const std::string& metric, const std::string& subject,
                           double value) {
  iv_values[metric][subject][run] = value;
}

std::vector<double> tavuBenchResults::values(const std::string& metric,
                                             const std::string& subject) const {
  std::vector<double> out;
  if (const auto* runs = tavuRuns(iv_values, metric, subject)) {
    for (const auto& run : *runs) out.push_back(run.second);
  }
  return out;
}

double tavuBenchResults::median(const std::string& metric, const std::string& subject) const {
  return tavuMedian(values(metric, subject));
}

double tavuBenchResults::medianRatio(const std::string& metric, const std::string& subject,
                                     const std::string& referenceMetric,
                                     const std::string& reference) const {
  const auto* runs = tavuRuns(iv_values, metric, subject);
  const auto* references = tavuRuns(iv_values, referenceMetric, reference);
  std::vector<double> ratios;
  if (runs == nullptr || references == nullptr) return std::numeric_limits<double>::quiet_NaN();
  for (const auto& run : *runs) {
    const auto match = references->find(run.first);
    if (match != references->end() && match->second != 0) {
      ratios.push_back(run.second / match->second);
    }
  }
  return tavuMedian(ratios);
}

bool tavuBenchResults::has(const std::string& metric, const std::string& subject) const {
  return tavuRuns(iv_values, metric, subject) != nullptr;
}

std::string tavuBenchResults::json(int runs) const {
  std::string out = "{";
  bool firstMetric = true;
  for (const auto& metric : iv_values) {
    out += (firstMetric ? "\n  \"" : ",\n  \"") + metric.first + "\": {";
    firstMetric = false;
    bool firstSubject = true;
    for (const auto& subject : metric.second) {
      out += (firstSubject ? "\"" : ", \"") + subject.first + "\": [";
      firstSubject = false;
      for (int run = 0; run < runs; ++run) {
        const auto value = subject.second.find(run);
        out +=
            (run == 0 ? "" : ", ") + tavuJsonNumber(value == subject.second.end()
                                                        ? std::numeric_limits<double>::quiet_NaN()
                                                        : value->second);
      }
      out += "]";
    }
    out += "}";
  }
  return out + "\n}\n";
}
