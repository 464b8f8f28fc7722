// Summaries of repeated measurements.
#pragma once

#include <vector>

// The median (the mean of the middle two for an even count); NaN when empty.
double tavuMedian(std::vector<double> values);

// The p-th percentile (0 < p <= 100) by nearest rank: the smallest value
// with at least p% of the values at or below it; NaN when empty.
double tavuPercentile(std::vector<double> values, double p);
