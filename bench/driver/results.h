// Every figure of every run, by measure and subject, and what is made of
// them: the report (medians, ratios to the references within each run,
// the spread) and the data files of the picture.
#pragma once

#include <string>
#include <vector>

void tavuRecord(int run, const std::string& metric, const std::string& subject, double value);

// One system call's count per add or per remove of a subject, for the
// table by name; `group` orders the calls (file calls first), then the name.
void tavuRecordCallByName(const std::string& call, int group, const std::string& subject, bool add,
                          double perEvent);

// Latencies in µs of one curve of the picture, pooled over the runs.
void tavuRecordLatencies(const std::string& curve, const std::vector<double>& micros);

// The p-th percentile by nearest rank; NaN when there are none.
double tavuPercentile(std::vector<double> values, double p);

// The Markdown tables: medians and ratios, the spread when asked, and
// the system calls by name when they were counted.
std::string tavuReport(bool withSpread);

// rates.dat and latency.dat in `dir`, for bench/results.gp.
bool tavuWriteDataFiles(const std::string& dir);
