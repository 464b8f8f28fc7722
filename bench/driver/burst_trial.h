// One burst (or paced stream) of uevents sent to a running subject, with
// what came of it: drops, nodes, acknowledgments.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench/driver/measures.h"
#include "bench/driver/workload.h"

struct tavuTrial {
  uint32_t sent = 0;
  double sendSeconds = 0;        // tavuinject's, from its first send to its last
  uint32_t drops = 0;            // datagrams the kernel dropped for the subject's socket
  uint64_t firstNs = 0;          // the first datagram's sending
  std::vector<uint64_t> sendNs;  // every datagram's sending, by device number
  tavuNodeCounts before;         // the node counts when it began
  tavuNodeCounts after;          // and when the subject was done
  uint32_t acked = 0;            // events the client acknowledged during the trial
  uint64_t lastAckNs = 0;
  std::vector<tavuThreadTime> spent;  // by the subject's threads and its client
  tavuSubjectKind kind = TAVU_SUBJECT_FLOOR;
};

// Sends `count` events of `events` (device numbers from 0) at `rate` (0:
// unpaced) and waits until `presentTarget` nodes are present or nothing
// moves any more, then, for the daemon, until the client has every event.
bool tavuRunTrial(tavuBenchContext& context, tavuSubject* subject, tavuBenchEvents events,
                  uint32_t count, uint32_t rate, uint32_t presentTarget, tavuTrial* trial,
                  std::string* error);

// Removes the workload's nodes behind the subject's back and waits until
// the watcher has seen them go.
void tavuClearNodes(tavuBenchContext& context);

// Events per second over [from, to]; 0 when the span is empty.
double tavuRate(uint64_t events, uint64_t from, uint64_t to);

// Records, per event handled in the trial, each thread's processor time
// (`metric`_cpu_us), run-queue wait (_wait_us) and times put on a
// processor (_slices), and the sums over the daemon and its client.
void tavuRecordTimeSpent(tavuBenchContext& context, const tavuTrial& trial,
                         const std::string& metric);
