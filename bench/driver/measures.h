// The measures of one run. Each records its figures under the run's
// number, and returns false with `error` set when it cannot be taken.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench_config.h"
#include "subject.h"
#include "workload.h"

// Adds, then removes, per second to the last node and to the client's
// last acknowledgment.
bool tavuMeasureNodes(const tavuBenchConfig& config, int run, tavuSubject* subject,
                      std::string* error);

// The largest burst taken without a drop, and the drops at fixed sizes.
bool tavuMeasureBurst(const tavuBenchConfig& config, int run, tavuSubject* subject,
                      std::string* error);

// From sending to the node, and to the client, at a steady rate.
bool tavuMeasureLatency(const tavuBenchConfig& config, int run, tavuSubject* subject,
                        std::string* error);

// The daemon's memory per event queued with no client; starts its own.
bool tavuMeasureMemory(const tavuBenchConfig& config, int run, std::string* error);

// System calls per add and per remove of every subject, counted by strace
// over a paced stream; starts its own subjects.
bool tavuMeasureCalls(const tavuBenchConfig& config, std::string* error);

// Processor time of every subject while nothing happens; starts its own.
bool tavuMeasureIdle(const tavuBenchConfig& config, int run, std::string* error);

// One burst, or paced stream, of uevents sent to a running subject, and
// what came of it.
struct tavuTrial {
  std::vector<uint64_t> sendNs;  // each event's sending, by number
  uint32_t drops = 0;            // datagrams the kernel dropped for the subject
  uint32_t nodes = 0;            // nodes there at the end
  uint64_t lastNodeNs = 0;       // when the last came or went
  uint32_t firstArrival = 0;     // the client's first record of the trial
  uint32_t acked = 0;            // events the client acknowledged in it
  uint64_t lastAckNs = 0;
};

// Sends `count` events at `rate` (0: unpaced), waits until `present` nodes
// are there or none comes or goes any more and, for the daemon, until its
// client has every event the kernel did not drop.
bool tavuRunTrial(tavuSubject* subject, tavuBenchEvents events, uint32_t count, uint32_t rate,
                  uint32_t present, tavuTrial* trial, std::string* error);

// Removes the workload's nodes behind the subject's back, and waits until
// the watcher has seen them go.
void tavuClearNodes();
