#include "results.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <sstream>
#include <utility>

namespace {

// metric -> subject -> run -> value
std::map<std::string, std::map<std::string, std::map<int, double>>> g_figures;
std::map<std::string, std::vector<double>> g_latencies;
// (group, call) -> subject -> per add, per remove
std::map<std::pair<int, std::string>, std::map<std::string, std::pair<double, double>>>
    g_callsByName;

const char* const kSubjects[] = {"floor", "floor-hardened", "mdev", "daemon"};
const char* const kReferences[] = {"floor", "floor-hardened", "mdev"};
constexpr double TAVU_NAN = std::numeric_limits<double>::quiet_NaN();

// A row's metrics share its cells, " / " between them. With `ratios`, the
// daemon's are divided by the references' (a client figure by the node's).
struct tavuRow {
  const char* label;
  const char* metrics;
  bool ratios;
};

const tavuRow kRows[] = {
    {"adds/s, first datagram sent to last node present (1,000 unpaced, fastest burst of a run)",
     "add_rate", true},
    {"removes/s, to last node gone (1,000 unpaced, fastest burst of a run)", "remove_rate", true},
    {"kernel drops in those bursts of adds / removes (the most)", "add_drops remove_drops", false},
    {"adds/s to the client's last acknowledgment", "client_add_rate", true},
    {"removes/s to the client's last acknowledgment", "client_remove_rate", true},
    {"largest unpaced burst without a kernel drop (tried up to 20,000)", "burst_capacity", true},
    {"kernel drops, burst of 2,000", "drops_2000", false},
    {"kernel drops, burst of 5,000", "drops_5000", false},
    {"kernel drops, burst of 10,000", "drops_10000", false},
    {"send → node, 5,000/s, median / p99 (µs)", "median_us p99_us", true},
    {"send → arrival at the client, 5,000/s, median / p99 (µs; ratios to the node's)",
     "client_median_us client_p99_us", true},
    {"resident bytes per queued event, 100,000 events, no client", "bytes_per_event", false},
    {"bytes of the record and its two strings", "record_bytes", false},
    {"daemon RSS empty / 100,000 queued / drained (kB)",
     "rss_empty_kb rss_queued_kb rss_drained_kb", false},
    {"processor time in 10 idle s (ms)", "idle_cpu_ms", false},
};

// Counted once, before the runs: no spread.
const tavuRow kCallRows[] = {
    {"file-system calls per add (strace, 300 paced)", "file_calls_add", false},
    {"file-system calls per remove", "file_calls_remove", false},
    {"poll calls per add / remove", "poll_calls_add poll_calls_remove", false},
    {"all system calls per add", "all_calls_add", false},
    {"all system calls per remove", "all_calls_remove", false},
    {"all system calls of the client per add / remove",
     "client_all_calls_add client_all_calls_remove", false},
};

std::vector<double> tavuSorted(const std::string& metric, const std::string& subject) {
  std::vector<double> values;
  for (const auto& run : g_figures[metric][subject]) values.push_back(run.second);
  std::sort(values.begin(), values.end());
  return values;
}

double tavuMedian(const std::vector<double>& sorted) {
  const size_t middle = sorted.size() / 2;
  if (sorted.empty()) return TAVU_NAN;
  return sorted.size() % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

// The median over the runs of the daemon's figure divided by the reference's.
double tavuMedianRatio(const std::string& metric, const char* reference) {
  const std::string own = metric.compare(0, 7, "client_") == 0 ? metric.substr(7) : metric;
  const std::map<int, double>& references = g_figures[own][reference];
  std::vector<double> ratios;
  for (const auto& run : g_figures[metric]["daemon"]) {
    const auto match = references.find(run.first);
    if (match != references.end() && match->second != 0)
      ratios.push_back(run.second / match->second);
  }
  std::sort(ratios.begin(), ratios.end());
  return tavuMedian(ratios);
}

// 83,516 or 66.8; "" for NaN.
std::string tavuNumber(double value) {
  char text[64];
  std::snprintf(text, sizeof text, value >= 100 || value == std::floor(value) ? "%.0f" : "%.3g",
                value);
  std::string number = std::isnan(value) ? "" : text;
  for (size_t at = std::min(number.find('.'), number.size()); at > 3; at -= 3) {
    number.insert(at - 3, ",");
  }
  return number;
}

std::string tavuShowMedian(const std::vector<double>& sorted) {
  return tavuNumber(tavuMedian(sorted));
}

std::string tavuShowSpread(const std::vector<double>& sorted) {
  const std::string least = sorted.empty() ? "" : tavuNumber(sorted.front());
  const std::string most = sorted.empty() ? "" : tavuNumber(sorted.back());
  return least == most ? least : least + "–" + most;
}

// A row's cell: its metrics as `show` puts them; "" when none was measured.
std::string tavuCell(const tavuRow& row, const char* subject,
                     std::string (*show)(const std::vector<double>&)) {
  std::istringstream metrics(row.metrics);
  std::string cell, metric;
  bool measured = false;
  for (bool first = true; metrics >> metric; first = false) {
    const std::vector<double> values = tavuSorted(metric, subject);
    measured = measured || !values.empty();
    cell += (first ? "" : " / ") + show(values);
  }
  return measured ? cell : "";
}

std::string tavuRatioCell(const tavuRow& row, const char* reference) {
  std::istringstream metrics(row.metrics);
  std::string cell, metric;
  for (bool first = true; row.ratios && metrics >> metric; first = false) {
    const double ratio = tavuMedianRatio(metric, reference);
    char text[32];
    std::snprintf(text, sizeof text, "%s%.2fx", first ? "" : " / ", ratio);
    if (std::isnan(ratio)) return "";
    cell += text;
  }
  return cell;
}

// "| title | floor | ... |" and its ruler, with a column per reference
// when `ratios` is set.
std::string tavuTableHead(const std::string& title, bool ratios) {
  std::string head = "| " + title + " |", ruler = "|---|";
  for (const char* subject : kSubjects) {
    head += std::string(" ") + subject + " |";
    ruler += "---:|";
  }
  for (const char* reference : kReferences) {
    head += ratios ? std::string(" daemon / ") + reference + " |" : "";
    ruler += ratios ? "---:|" : "";
  }
  return head + "\n" + ruler + "\n";
}

// With `ratios`, the table of medians: the ratios' columns and the call
// counts' rows too.
std::string tavuTable(const std::string& title, bool ratios,
                      std::string (*show)(const std::vector<double>&)) {
  std::string table = tavuTableHead(title, ratios);
  std::vector<tavuRow> rows(std::begin(kRows), std::end(kRows));
  if (ratios) rows.insert(rows.end(), std::begin(kCallRows), std::end(kCallRows));
  for (const tavuRow& row : rows) {
    std::string line = std::string("| ") + row.label + " |";
    bool measured = false;
    for (const char* subject : kSubjects) {
      const std::string cell = tavuCell(row, subject, show);
      measured = measured || !cell.empty();
      line += " " + cell + " |";
    }
    for (const char* reference : kReferences) {
      if (ratios) line += " " + tavuRatioCell(row, reference) + " |";
    }
    if (measured) table += line + "\n";
  }
  return table;
}

// Calls by name, rounded to the hundredth; a call no subject makes once in
// a hundred events is left out.
std::string tavuCallsTable() {
  std::string table = tavuTableHead("system calls per add / per remove, by name (strace)", false);
  const auto rounded = [](double value) { return std::round(value * 100) / 100; };
  for (const auto& call : g_callsByName) {
    std::string line = "| " + call.first.second + " |";
    bool seen = false;
    for (const char* subject : kSubjects) {
      const auto counts = call.second.find(subject);
      const bool counted = counts != call.second.end();
      const double add = counted ? rounded(counts->second.first) : 0;
      const double remove = counted ? rounded(counts->second.second) : 0;
      seen = seen || add != 0 || remove != 0;
      line += counted ? " " + tavuNumber(add) + " / " + tavuNumber(remove) + " |" : " |";
    }
    if (seen) table += line + "\n";
  }
  return table;
}

}  // namespace

void tavuRecordCallByName(const std::string& call, int group, const std::string& subject, bool add,
                          double perEvent) {
  auto& counts = g_callsByName[{group, call}][subject];
  (add ? counts.first : counts.second) = perEvent;
}

void tavuRecord(int run, const std::string& metric, const std::string& subject, double value) {
  g_figures[metric][subject][run] = value;
}

void tavuRecordLatencies(const std::string& curve, const std::vector<double>& micros) {
  g_latencies[curve].insert(g_latencies[curve].end(), micros.begin(), micros.end());
}

double tavuPercentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<size_t>(std::ceil(p / 100 * static_cast<double>(values.size())));
  return values.empty() ? TAVU_NAN : values[std::max<size_t>(rank, 1) - 1];
}

std::string tavuReport(bool withSpread) {
  return tavuTable("figure (median of the runs)", true, tavuShowMedian) +
         (withSpread ? "\n" + tavuTable("spread over the runs (min–max)", false, tavuShowSpread)
                     : "") +
         (g_callsByName.empty() ? "" : "\n" + tavuCallsTable());
}

bool tavuWriteDataFiles(const std::string& dir) {
  std::ofstream rates(dir + "/rates.dat");
  rates << "# subject, then median, min and max of adds/s and of removes/s\n";
  for (const char* subject : kSubjects) {
    for (const char* prefix : {"", "client_"}) {
      const std::vector<double> adds = tavuSorted(prefix + std::string("add_rate"), subject);
      const std::vector<double> removes = tavuSorted(prefix + std::string("remove_rate"), subject);
      if (adds.empty() || removes.empty()) continue;
      rates << '"' << subject << (*prefix != '\0' ? ", to the client\" " : "\" ")
            << tavuMedian(adds) << ' ' << adds.front() << ' ' << adds.back() << ' '
            << tavuMedian(removes) << ' ' << removes.front() << ' ' << removes.back() << '\n';
    }
  }
  // One block per curve: its title, then the distribution at up to 500 points.
  std::ofstream latency(dir + "/latency.dat");
  for (auto& curve : g_latencies) {
    std::vector<double>& values = curve.second;
    const size_t n = values.size(), points = std::min<size_t>(n, 500);
    std::sort(values.begin(), values.end());
    latency << (&curve == &*g_latencies.begin() ? "\"" : "\n\n\"") << curve.first << "\"\n";
    for (size_t k = 0; k < points; ++k) {
      const size_t i = points < 2 ? n - 1 : k * (n - 1) / (points - 1);
      latency << values[i] << ' ' << static_cast<double>(i + 1) / static_cast<double>(n) << '\n';
    }
  }
  return static_cast<bool>(rates.flush()) && static_cast<bool>(latency.flush());
}
