// The measures of one run. Each records its figures into the results under
// the run's index and returns false with `error` set when it cannot be
// taken (a subject that dies, a tool that fails).
#pragma once

#include <string>

#include "bench/driver/bench_options.h"
#include "bench/driver/node_watcher.h"
#include "bench/driver/results.h"
#include "bench/driver/subject.h"

struct tavuBenchContext {
  const tavuBenchConfig& config;
  tavuBenchResults& results;
  tavuNodeWatcher& watcher;
  int run = 0;
};

// Node throughput of a 1,000-event burst of adds, then of the removes; for
// the daemon also events per second to the last acknowledgment.
bool tavuMeasureNodes(tavuBenchContext& context, tavuSubject* subject, std::string* error);

// Largest burst without a drop, and the drops at the fixed sizes.
bool tavuMeasureBurst(tavuBenchContext& context, tavuSubject* subject, std::string* error);

// Latency to the node (and to the client) at a steady rate.
bool tavuMeasureLatency(tavuBenchContext& context, tavuSubject* subject, std::string* error);

// The daemon's memory per queued event; starts its own daemon.
bool tavuMeasureMemory(tavuBenchContext& context, std::string* error);

// Processor time of every subject while nothing happens; starts its own.
bool tavuMeasureIdle(tavuBenchContext& context, std::string* error);

// The cost of acknowledging every message before the next, on a Unix
// stream socket between two processes, against streaming them.
bool tavuMeasureAck(tavuBenchContext& context, std::string* error);
