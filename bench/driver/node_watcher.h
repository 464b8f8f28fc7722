// Watches the workload's node directory with inotify and keeps, for each
// node number, whether it is there and when it first appeared: the
// driver's view of when a device manager has done its work.
#pragma once

#include <cstdint>
#include <string>

struct tavuNodeCounts {
  uint32_t present = 0;
  uint64_t lastChangeNs = 0;  // when a node last came or went
};

// Watches TAVU_BENCH_NODE_DIR, which comes and goes with its nodes, for
// nodes numbered below `capacity`. False with `error` set.
bool tavuStartNodeWatcher(uint32_t capacity, std::string* error);

// Waits until `present` nodes are there, or none has come or gone for
// `quietMs`, or `timeoutMs` has passed; returns the counts then.
tavuNodeCounts tavuWaitForNodes(uint32_t present, int quietMs, int timeoutMs);

// When node `number` first appeared since tavuForgetNodeTimes(); 0: not yet.
uint64_t tavuNodeCreatedNs(uint32_t number);
void tavuForgetNodeTimes();

// At real-time priority the watcher wakes for each node, for latencies;
// at the ordinary one it reads in batches and costs a burst less.
void tavuSetWatcherRealtime(bool realtime);
