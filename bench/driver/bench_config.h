// What the driver was asked to measure, and the sizes of the workload.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct tavuBenchConfig {
  std::string binDir;    // tavunetlink, tavubench-floor, tavubench-client
  std::string mdevConf;  // becomes /etc/mdev.conf
  std::string outDir;    // the picture's data files, when given
  std::string workDir = "/tmp/tavubench";
  int runs = 7;
  bool timedRuns = true;  // false: the call count alone
  uint32_t throughputEvents = 1000;
  int throughputBursts = 3;  // per run; the fastest counts
  uint32_t burstStart = 250;
  uint32_t burstCap = 20000;
  std::vector<uint32_t> dropSizes = {2000, 5000, 10000};
  uint32_t latencyRate = 5000;
  uint32_t latencyEvents = 10000;
  uint32_t memoryEvents = 100000;
  uint32_t memoryRate = 10000;
  int idleSeconds = 10;
  uint32_t callEvents = 300;
  uint32_t callRate = 200;
};
