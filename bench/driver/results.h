// Every figure of every run, by measure and subject, and what is made of
// them: medians over the runs and ratios to the references of the same run.
#pragma once

#include <map>
#include <string>
#include <vector>

class tavuBenchResults {
 public:
  void add(int run, const std::string& metric, const std::string& subject, double value);

  // The values of every run that has one, in run order.
  std::vector<double> values(const std::string& metric, const std::string& subject) const;
  // NaN when there is none.
  double median(const std::string& metric, const std::string& subject) const;
  // The median over the runs that measured both of value / reference value.
  double medianRatio(const std::string& metric, const std::string& subject,
                     const std::string& referenceMetric, const std::string& reference) const;
  bool has(const std::string& metric, const std::string& subject) const;

  // {"metric": {"subject": [per-run values, null where not measured]}}
  std::string json(int runs) const;

 private:
  // metric -> subject -> run -> value
  std::map<std::string, std::map<std::string, std::map<int, double>>> iv_values;
};
