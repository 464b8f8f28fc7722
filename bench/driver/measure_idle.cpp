// Processor time while nothing happens: every subject runs at once (the
// daemon with its client connected) and none is sent an event.
#include <unistd.h>

#include <vector>

#include "bench/driver/measures.h"
#include "bench/driver/spawn.h"

namespace {

constexpr int TAVU_IDLE_SETTLE_MS = 1000;

bool tavuIdleTicks(const std::vector<tavuSubject>& subjects, std::vector<uint64_t>* ticks,
                   std::string* error) {
  ticks->clear();
  for (const tavuSubject& subject : subjects) {
    uint64_t value = 0;
    if (!tavuReadCpuTicks(subject.pid, &value)) {
      *error = std::string(tavuSubjectName(subject.kind)) + " ended while idle";
      return false;
    }
    ticks->push_back(value);
  }
  return true;
}

bool tavuWatchIdle(tavuBenchContext& context, const std::vector<tavuSubject>& subjects,
                   std::string* error) {
  std::vector<uint64_t> before, after;
  tavuSleepMs(TAVU_IDLE_SETTLE_MS);
  if (!tavuIdleTicks(subjects, &before, error)) return false;
  tavuSleepMs(static_cast<int>(context.config.idleSeconds * 1000));
  if (!tavuIdleTicks(subjects, &after, error)) return false;
  const double msPerTick = 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
  for (size_t i = 0; i < subjects.size(); ++i) {
    const char* name = tavuSubjectName(subjects[i].kind);
    context.results.add(context.run, "idle_cpu_ms", name,
                        static_cast<double>(after[i] - before[i]) * msPerTick);
    uint64_t rss = 0;
    if (tavuReadRssKb(subjects[i].pid, &rss)) {
      context.results.add(context.run, "rss_idle_kb", name, static_cast<double>(rss));
    }
  }
  return true;
}

}  // namespace

bool tavuMeasureIdle(tavuBenchContext& context, std::string* error) {
  std::vector<tavuSubject> subjects;
  bool ok = true;
  for (tavuSubjectKind kind : {TAVU_SUBJECT_FLOOR, TAVU_SUBJECT_MDEV, TAVU_SUBJECT_DAEMON}) {
    subjects.emplace_back();
    ok = tavuStartSubject(context.config, kind, true, &subjects.back(), error);
    if (!ok) break;
  }
  ok = ok && tavuWatchIdle(context, subjects, error);
  for (tavuSubject& subject : subjects) tavuStopSubject(&subject);
  return ok;
}
