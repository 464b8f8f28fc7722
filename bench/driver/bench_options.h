// The driver's command line and the workload sizes it implies.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct tavuBenchConfig {
  std::string binDir;    // tavunetlink, tavuinject, tavubench-floor, tavubench-client
  std::string mdevConf;  // installed as /etc/mdev.conf for busybox mdev
  std::string busybox = "busybox";
  std::string workDir = "/tmp/tavubench";
  std::string jsonPath;  // per-run figures, when given
  int runs = 5;
  bool quick = false;
  std::vector<std::string> measures;  // empty: all

  uint32_t throughputEvents = 1000;
  uint32_t burstStart = 250;
  uint32_t burstCap = 20000;
  std::vector<uint32_t> dropSizes = {2000, 5000, 10000};
  uint32_t latencyRate = 5000;
  double latencySeconds = 2;
  uint32_t memoryEvents = 100000;
  uint32_t memoryRate = 10000;
  double idleSeconds = 10;
  uint32_t ackMessages = 20000;
};

// Parses argv; returns -1 to go on, else the exit status (0 after --help).
int tavuParseBenchArgs(int argc, char** argv, tavuBenchConfig* config);

// True when the named measure is to run.
bool tavuWantMeasure(const tavuBenchConfig& config, const std::string& measure);

// Exit statuses of tavubench.
enum : int {
  TAVU_BENCH_OK = 0,
  TAVU_BENCH_TARGET_MISSED = 1,  // measured, but a target was not met
  TAVU_BENCH_USAGE = 2,
  TAVU_BENCH_CANNOT_RUN = 3,  // not in the sandbox, a program missing or failing
};
