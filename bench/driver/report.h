// The results as a Markdown table: medians over the runs and, for the
// daemon, ratios to the floor and to mdev taken within each run.
#pragma once

#include <string>
#include <vector>

#include "bench/driver/results.h"

struct tavuTargetVerdict {
  std::string target;
  double value;  // the figure the target is about (NaN: not measured)
  bool met;
};

// The table of every figure measured.
std::string tavuResultsTable(const tavuBenchResults& results);

// Processor time and run-queue wait per event, thread by thread: where
// the time goes. Empty when nothing was measured.
std::string tavuCostTable(const tavuBenchResults& results);

// The targets for `daemon` ("daemon" or "daemon-plain"), checked on
// the medians.
std::vector<tavuTargetVerdict> tavuCheckTargets(const tavuBenchResults& results,
                                                const std::string& daemon = "daemon");

std::string tavuVerdictText(const std::vector<tavuTargetVerdict>& verdicts);
