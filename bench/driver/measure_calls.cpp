// System calls per event: every subject's, counted by strace while it
// handles a paced stream of adds, then of their removes, and nothing else.
// strace slows every call down: this is a measure of its own, taken before
// the timed runs and never mixed into them.
#include <algorithm>
#include <iterator>
#include <map>

#include "measures.h"
#include "results.h"
#include "syscall_count.h"

namespace {

// The last event's calls may still be under way when its node is seen.
constexpr int TAVU_CALLS_SETTLE_MS = 200;

// The calls that name, open, inspect, make, change or remove files and
// directories, and close their descriptors (a socket's close counts too).
const char* const kFileCalls[] = {
    "open",       "openat",   "openat2",   "close",     "stat",       "lstat",    "fstat",
    "newfstatat", "statx",    "access",    "faccessat", "faccessat2", "readlink", "readlinkat",
    "mkdir",      "mkdirat",  "mknod",     "mknodat",   "unlink",     "unlinkat", "rmdir",
    "rename",     "renameat", "renameat2", "link",      "linkat",     "symlink",  "symlinkat",
    "chmod",      "fchmod",   "fchmodat",  "chown",     "fchown",     "lchown",   "fchownat"};
const char* const kPollCalls[] = {"poll", "ppoll"};

enum tavuCallGroup { TAVU_FILE_CALL, TAVU_POLL_CALL, TAVU_OTHER_CALL };

tavuCallGroup tavuGroupOf(const std::string& name) {
  const auto named = [&name](const char* each) { return name == each; };
  if (std::any_of(std::begin(kFileCalls), std::end(kFileCalls), named)) return TAVU_FILE_CALL;
  return std::any_of(std::begin(kPollCalls), std::end(kPollCalls), named) ? TAVU_POLL_CALL
                                                                          : TAVU_OTHER_CALL;
}

// One phase's counts: the subject's (every thread), its client's apart.
struct tavuPhaseCalls {
  std::map<std::string, uint64_t> iv_own;
  std::map<std::string, uint64_t> iv_client;
};

// strace attached from before the first event to after the last; every
// event handled, none dropped, or the counts would be no event's.
bool tavuCountPhase(const tavuBenchConfig& config, tavuSubject* subject, tavuBenchEvents events,
                    tavuPhaseCalls* calls, std::string* error) {
  const bool adds = events == TAVU_UART_ADD;
  const std::string stem =
      config.workDir + "/calls-" + tavuSubjectName(subject->kind) + (adds ? "-add" : "-remove");
  const uint32_t present = adds ? config.callEvents : 0;
  tavuSyscallCount own, client;
  tavuTrial trial;
  bool ok =
      tavuStartSyscallCount(subject->pid, stem, &own, error) &&
      (subject->clientPid < 0 ||
       tavuStartSyscallCount(subject->clientPid, stem + "-client", &client, error)) &&
      tavuRunTrial(subject, events, config.callEvents, config.callRate, present, &trial, error);
  if (ok) tavuSleepMs(TAVU_CALLS_SETTLE_MS);
  std::string stopError;
  const bool ownRead = tavuStopSyscallCount(&own, &calls->iv_own, &stopError);
  const bool clientRead = tavuStopSyscallCount(&client, &calls->iv_client, &stopError);
  if (ok && !(ownRead && clientRead)) *error = stopError;
  if (ok && (trial.drops != 0 || trial.nodes != present)) {
    *error = "while its calls were counted, " + std::to_string(trial.drops) +
             " events were dropped and " + std::to_string(trial.nodes) + " nodes are there, not " +
             std::to_string(present);
    ok = false;
  }
  return ok && ownRead && clientRead;
}

void tavuRecordPhase(const tavuBenchConfig& config, const char* subject, const std::string& phase,
                     const tavuPhaseCalls& calls) {
  const auto events = static_cast<double>(config.callEvents);
  double byGroup[3] = {}, all = 0, client = 0;
  for (const auto& call : calls.iv_own) {
    const double perEvent = static_cast<double>(call.second) / events;
    const tavuCallGroup group = tavuGroupOf(call.first);
    byGroup[group] += perEvent;
    all += perEvent;
    tavuRecordCallByName(group == TAVU_FILE_CALL ? call.first + " (file)" : call.first,
                         static_cast<int>(group), subject, phase == "add", perEvent);
  }
  for (const auto& call : calls.iv_client) client += static_cast<double>(call.second) / events;
  tavuRecord(0, "file_calls_" + phase, subject, byGroup[TAVU_FILE_CALL]);
  tavuRecord(0, "poll_calls_" + phase, subject, byGroup[TAVU_POLL_CALL]);
  tavuRecord(0, "all_calls_" + phase, subject, all);
  if (!calls.iv_client.empty()) tavuRecord(0, "client_all_calls_" + phase, subject, client);
}

}  // namespace

bool tavuMeasureCalls(const tavuBenchConfig& config, std::string* error) {
  for (int kind = 0; kind < TAVU_SUBJECT_KINDS; ++kind) {
    const char* name = tavuSubjectName(static_cast<tavuSubjectKind>(kind));
    tavuSubject subject;
    tavuPhaseCalls adds, removes;
    tavuClearNodes();
    const bool ok =
        tavuStartSubject(config, static_cast<tavuSubjectKind>(kind), true, &subject, error) &&
        tavuCountPhase(config, &subject, TAVU_UART_ADD, &adds, error) &&
        tavuCountPhase(config, &subject, TAVU_UART_REMOVE, &removes, error);
    tavuStopSubject(&subject);
    if (!ok) {
      *error = std::string(name) + ": " + *error;
      return false;
    }
    tavuRecordPhase(config, name, "add", adds);
    tavuRecordPhase(config, name, "remove", removes);
  }
  tavuClearNodes();
  return true;
}
