// tavubench: the end-to-end benchmark driver. See --help.
#include <errno.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/driver/bench_options.h"
#include "bench/driver/measures.h"
#include "bench/driver/node_watcher.h"
#include "bench/driver/proc_probe.h"
#include "bench/driver/report.h"
#include "bench/driver/spawn.h"
#include "bench/driver/workload.h"

namespace {

int tavuCannotRun(const std::string& message) {
  std::fprintf(stderr, "tavubench: %s\n", message.c_str());
  return TAVU_BENCH_CANNOT_RUN;
}

std::string tavuLoad() {
  std::string load = tavuReadWholeFile("/proc/loadavg");
  return load.substr(0, load.find(' ', load.find(' ', load.find(' ') + 1) + 1));
}

std::string tavuMachine() {
  utsname names{};
  uname(&names);
  std::string cpu = "unknown processor";
  std::ifstream info("/proc/cpuinfo");
  for (std::string line; std::getline(info, line);) {
    if (line.compare(0, 10, "model name") == 0) {
      cpu = line.substr(line.find(':') + 2);
      break;
    }
  }
  return std::string(names.machine) + ", " + cpu + ", " +
         std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, Linux " + names.release;
}

bool tavuToolsPresent(const tavuBenchConfig& config, std::string* missing) {
  for (const char* tool : {"tavunetlink", "tavuinject", "tavubench-floor", "tavubench-client"}) {
    const std::string path = config.binDir + "/" + tool;
    if (access(path.c_str(), X_OK) != 0) {
      *missing = path;
      return false;
    }
  }
  return true;
}

// Makes the sandbox into the benchmark's machine: scratch space, event
// files, the fake sysfs and mdev's configuration.
bool tavuPrepare(const tavuBenchConfig& config, std::string* error) {
  if (mkdir(config.workDir.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = "cannot make " + config.workDir + ": " + std::strerror(errno);
    return false;
  }
  const uint32_t devices =
      std::max({config.burstCap, config.throughputEvents,
                static_cast<uint32_t>(config.latencyRate * config.latencySeconds)}) +
      1;
  return tavuWriteEventFiles(config, error) && tavuMakeFakeSysfs(devices, error) &&
         tavuInstallMdevConf(config, error);
}

// Every subject once, in an order that turns from run to run.
bool tavuMeasureSubjects(tavuBenchContext& context, std::string* error) {
  std::vector<tavuSubjectKind> order = {TAVU_SUBJECT_FLOOR, TAVU_SUBJECT_FLOOR_WALK,
                                        TAVU_SUBJECT_MDEV, TAVU_SUBJECT_DAEMON,
                                        TAVU_SUBJECT_DAEMON_PLAIN};
  std::rotate(order.begin(),
              order.begin() + static_cast<std::ptrdiff_t>(context.run % order.size()), order.end());
  const tavuBenchConfig& config = context.config;
  for (tavuSubjectKind kind : order) {
    // The walking floor only prices the daemon's filesystem calls.
    const bool full = kind != TAVU_SUBJECT_FLOOR_WALK;
    if (!tavuWantMeasure(config, "nodes") &&
        (!full || (!tavuWantMeasure(config, "burst") && !tavuWantMeasure(config, "latency")))) {
      continue;
    }
    tavuSubject subject;
    if (!tavuStartSubject(config, kind, true, &subject, error)) return false;
    bool ok = !tavuWantMeasure(config, "nodes") || tavuMeasureNodes(context, &subject, error);
    ok = ok &&
         (!full || !tavuWantMeasure(config, "burst") || tavuMeasureBurst(context, &subject, error));
    ok = ok && (!full || !tavuWantMeasure(config, "latency") ||
                tavuMeasureLatency(context, &subject, error));
    tavuStopSubject(&subject);
    if (!ok) {
      *error = std::string(tavuSubjectName(kind)) + ": " + *error;
      return false;
    }
  }
  return true;
}

bool tavuMeasureRun(tavuBenchContext& context, std::string* error) {
  const tavuBenchConfig& config = context.config;
  return tavuMeasureSubjects(context, error) &&
         (!tavuWantMeasure(config, "memory") || tavuMeasureMemory(context, error)) &&
         (!tavuWantMeasure(config, "idle") || tavuMeasureIdle(context, error)) &&
         (!tavuWantMeasure(config, "ack") || tavuMeasureAck(context, error));
}

int tavuReport(const tavuBenchConfig& config, const tavuBenchResults& results,
               const std::string& loadBefore) {
  const std::vector<tavuTargetVerdict> verdicts = tavuCheckTargets(results);
  std::printf("Machine: %s; load average %s before, %s after\n", tavuMachine().c_str(),
              loadBefore.c_str(), tavuLoad().c_str());
  std::printf("Runs: %d%s\n\n%s\n%s\nTargets (daemon as built):\n%s", config.runs,
              config.quick ? " (quick)" : "", tavuResultsTable(results).c_str(),
              tavuCostTable(results).c_str(), tavuVerdictText(verdicts).c_str());
  const std::string plain = tavuVerdictText(tavuCheckTargets(results, "daemon-plain"));
  if (!plain.empty()) {
    std::printf("\nThe same with the reader at the ordinary policy (daemon-plain):\n%s",
                plain.c_str());
  }
  if (!config.jsonPath.empty()) {
    std::ofstream(config.jsonPath) << results.json(config.runs);
  }
  const bool allMet = std::all_of(verdicts.begin(), verdicts.end(),
                                  [](const tavuTargetVerdict& verdict) { return verdict.met; });
  return allMet ? TAVU_BENCH_OK : TAVU_BENCH_TARGET_MISSED;
}

}  // namespace

int main(int argc, char** argv) {
  tavuBenchConfig config;
  const int usage = tavuParseBenchArgs(argc, argv, &config);
  if (usage >= 0) return usage;
  const char* sandbox = std::getenv("TAVU_IN_SANDBOX");
  if (geteuid() != 0 || sandbox == nullptr || std::strcmp(sandbox, "1") != 0) {
    return tavuCannotRun("run me inside scripts/sandbox, as root: I mount over /sys and /etc");
  }
  std::string error;
  if (!tavuToolsPresent(config, &error)) return tavuCannotRun("missing program " + error);
  if (!tavuBecomeSubreaper()) return tavuCannotRun("cannot become a child subreaper");
  if (!tavuPrepare(config, &error)) return tavuCannotRun(error);
  const std::string loadBefore = tavuLoad();
  const uint32_t capacity = std::max(config.burstCap, config.memoryEvents) + 1;
  tavuNodeWatcher watcher;
  if (!watcher.start(TAVU_BENCH_NODE_DIR, capacity, &error)) {
    return tavuCannotRun(error);
  }
  tavuBenchResults results;
  for (int run = 0; run < config.runs; ++run) {
    tavuBenchContext context{config, results, watcher, run};
    std::fprintf(stderr, "tavubench: run %d of %d (load %s)\n", run + 1, config.runs,
                 tavuLoad().c_str());
    if (!tavuMeasureRun(context, &error))
      return tavuCannotRun("run " + std::to_string(run + 1) + ": " + error);
  }
  return tavuReport(config, results, loadBefore);
}
