#include "driver.h"

#include <signal.h>

#include <cinttypes>
#include <cstdio>
#include <sstream>

namespace {

constexpr uint64_t TAVU_STRACE_TIMEOUT_NS = 10000000000u;

// Lines of "calls name" between rulers, then the total.
void tavuReadSummary(const std::string& summary, std::map<std::string, uint64_t>* calls) {
  std::istringstream lines(tavuReadWholeFile(summary));
  for (std::string line; std::getline(lines, line);) {
    uint64_t number = 0;
    char name[64];
    if (std::sscanf(line.c_str(), "%" SCNu64 " %63s", &number, name) == 2 &&
        std::string(name) != "total") {
      (*calls)[name] += number;
    }
  }
}

}  // namespace

bool tavuStartSyscallCount(pid_t pid, const std::string& stem, tavuSyscallCount* count,
                           std::string* error) {
  *count = tavuSyscallCount();
  count->iv_summary = stem + ".strace";
  count->iv_log = stem + ".log";
  count->iv_tracer = tavuSpawn({"strace", "-f", "-q", "-c", "-U", "calls,name", "-o",
                                count->iv_summary, "-p", std::to_string(pid)},
                               count->iv_log);
  const uint64_t deadline = tavuBenchNowNs() + TAVU_STRACE_TIMEOUT_NS;
  while (count->iv_tracer > 0 && !tavuAllThreadsTracedBy(pid, count->iv_tracer)) {
    if (tavuWaitChild(count->iv_tracer, 0) != -1 || tavuBenchNowNs() >= deadline) {
      tavuKillChild(count->iv_tracer);
      count->iv_tracer = -1;
    }
    tavuSleepMs(1);
  }
  if (count->iv_tracer < 0) *error = "strace did not attach (see " + count->iv_log + ")";
  return count->iv_tracer > 0;
}

bool tavuStopSyscallCount(tavuSyscallCount* count, std::map<std::string, uint64_t>* calls,
                          std::string* error) {
  calls->clear();
  if (count->iv_tracer < 0) return true;
  // On SIGINT strace detaches from every thread, writes its table and
  // ends by that signal.
  const int status =
      kill(count->iv_tracer, SIGINT) == 0
          ? tavuWaitChild(count->iv_tracer, tavuBenchNowNs() + TAVU_STRACE_TIMEOUT_NS)
          : -2;
  if (status == -1) tavuKillChild(count->iv_tracer);
  count->iv_tracer = -1;
  if (status != 0 && status != 128 + SIGINT) {
    *error = "strace did not end well (see " + count->iv_log + ")";
    return false;
  }
  tavuReadSummary(count->iv_summary, calls);
  return true;
}
