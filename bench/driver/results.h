// Every figure of every run, by measure and subject, and what is made of
// them: the report (medians, ratios to the references within each run,
// the spread) and the data files of the picture.
#pragma once

#include <string>
#include <vector>

void tavuRecord(int run, const std::string& metric, const std::string& subject, double value);

// Latencies in µs of one curve of the picture, pooled over the runs.
void tavuRecordLatencies(const std::string& curve, const std::vector<double>& micros);

// The p-th percentile by nearest rank; NaN when there are none.
double tavuPercentile(std::vector<double> values, double p);

// The Markdown tables: medians and ratios, and the spread when asked.
std::string tavuReport(bool withSpread);

// rates.dat and latency.dat in `dir`, for bench/results.gp.
bool tavuWriteDataFiles(const std::string& dir);
