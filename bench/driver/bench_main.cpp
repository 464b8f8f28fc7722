// tavubench: the end-to-end benchmark driver. See --help.
#include <errno.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver.h"
#include "tool_options.h"

namespace {

enum : int { TAVU_BENCH_CANNOT_RUN = 3 };

void tavuMakeQuick(tavuBenchConfig* config) {
  config->runs = 1;
  config->throughputBursts = 1;
  config->burstCap = 5000;
  config->dropSizes = {2000};
  config->latencyEvents = 2500;
  config->memoryEvents = 10000;
  config->idleSeconds = 2;
}

// TAVU_OPTIONS_GOOD to go on, else the exit status.
int tavuParseArgs(int argc, char** argv, tavuBenchConfig* config) {
  const auto into = [](std::string* text) {
    return [text](const char* value) { return !(*text = value).empty(); };
  };
  bool quick = false;
  int runs = 0;
  std::vector<std::string> operands;
  const int status = tavuParseCommandLine(
      argc, argv,
      {R"(Usage: tavubench --bin-dir DIR --mdev-conf FILE [--runs N] [--quick]
                [--calls-only] [--out DIR]

The driver of scripts/bench (bench/RESULTS.md says what it measures), run as
root in scripts/sandbox. It prints each figure of each run as a line of
tab-separated fields: row, subject, run, value and, for a figure of the
daemon's to compare, the references' row; a call count as row, subject,
"calls" and "per add / per remove".

)",
       {{"bin-dir", 0, "DIR", "a directory",
         "where tavunetlink, tavubench-floor, tavubench-client are", into(&config->binDir)},
        {"mdev-conf", 0, "FILE", "a file", "mdev's configuration (bench/mdev/mdev.conf)",
         into(&config->mdevConf)},
        {"runs", 0, "N", "a number of runs from 1 to 100", "timed runs (default 7)",
         tavuTakeWhole(&runs, 1, 100)},
        {"quick", 0, nullptr, nullptr, "one short run, a smoke test", tavuTakeFlag(&quick)},
        {"calls-only", 0, nullptr, nullptr, "the call count alone, no timed run",
         tavuTakeFlag(&config->callsOnly)},
        {"out", 0, "DIR", "a directory", "also write each latency there, for gnuplot",
         into(&config->outDir)}},
       "Exit status: 0 measured; 2 bad usage; 3 cannot run.\n"},
      0, &operands);
  if (status != TAVU_OPTIONS_GOOD) return status;
  if (config->binDir.empty() || config->mdevConf.empty()) {
    return tavuUsageError("--bin-dir and --mdev-conf are needed");
  }
  if (quick) tavuMakeQuick(config);
  if (runs != 0) config->runs = runs;
  return TAVU_OPTIONS_GOOD;
}

// Scratch space, the fake sysfs, mdev's configuration, the node watcher:
// for devices up to the burst cap, the largest of the workload.
bool tavuPrepare(const tavuBenchConfig& config, std::string* error) {
  if (mkdir(config.workDir.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = config.workDir + ": " + std::strerror(errno);
    return false;
  }
  return tavuMakeFakeSysfs(config.burstCap + 1, error) &&
         tavuInstallMdevConf(config.mdevConf, config.workDir, error) &&
         tavuStartNodeWatcher(config.burstCap + 1, error);
}

// Every subject once, in an order that turns from run to run.
bool tavuMeasureRun(const tavuBenchConfig& config, int run, std::string* error) {
  for (int i = 0; i < TAVU_SUBJECT_KINDS; ++i) {
    const auto kind = static_cast<tavuSubjectKind>((i + run) % TAVU_SUBJECT_KINDS);
    tavuSubject subject;
    bool ok = tavuStartSubject(config, kind, true, &subject, error) &&
              tavuMeasureNodes(config, run, &subject, error);
    // The hardened floor only prices the daemon's file-system calls.
    ok = ok && (kind == TAVU_FLOOR_HARDENED || (tavuMeasureBurst(config, run, &subject, error) &&
                                                tavuMeasureLatency(config, run, &subject, error)));
    tavuStopSubject(&subject);
    if (!ok) {
      *error = std::string(tavuSubjectName(kind)) + ": " + *error;
      return false;
    }
  }
  return tavuMeasureMemory(config, run, error) && tavuMeasureIdle(config, run, error);
}

}  // namespace

int main(int argc, char** argv) {
  tavuBenchConfig config;
  const int usage = tavuParseArgs(argc, argv, &config);
  if (usage != TAVU_OPTIONS_GOOD) return usage;
  const char* sandbox = std::getenv("TAVU_IN_SANDBOX");
  if (geteuid() != 0 || sandbox == nullptr || std::strcmp(sandbox, "1") != 0) {
    return tavuPrintError(TAVU_BENCH_CANNOT_RUN,
                          "run me as root in scripts/sandbox: I mount over /sys");
  }
  // The daemon forks into the background: as the reaper of orphans, the
  // driver stays its parent.
  std::string error = "cannot become a child subreaper";
  if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0 || !tavuPrepare(config, &error)) {
    return tavuPrintError(TAVU_BENCH_CANNOT_RUN, "%s", error.c_str());
  }
  // First, so that a subject strace cannot follow fails the run at once.
  std::fputs("tavubench: counting system calls\n", stderr);
  if (!tavuMeasureCalls(config, &error)) {
    return tavuPrintError(TAVU_BENCH_CANNOT_RUN, "call count: %s", error.c_str());
  }
  for (int run = 0; !config.callsOnly && run < config.runs; ++run) {
    std::fprintf(stderr, "tavubench: run %d of %d\n", run + 1, config.runs);
    error.clear();
    if (!tavuMeasureRun(config, run, &error)) {
      return tavuPrintError(TAVU_BENCH_CANNOT_RUN, "run %d: %s", run + 1, error.c_str());
    }
  }
  return 0;
}
