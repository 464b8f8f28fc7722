// System calls per event: every subject's, counted by strace while it
// handles a paced stream of adds, then of their removes, and nothing else.
// strace slows every call down: this is a measure of its own, taken before
// the timed runs and never mixed into them.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <map>

#include "driver.h"

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

enum tavuCallGroup { TAVU_FILE_CALL, TAVU_POLL_CALL, TAVU_OTHER_CALL };

tavuCallGroup tavuGroupOf(const std::string& name) {
  const auto named = [&name](const char* each) { return name == each; };
  if (std::any_of(std::begin(kFileCalls), std::end(kFileCalls), named)) return TAVU_FILE_CALL;
  return name == "poll" || name == "ppoll" ? TAVU_POLL_CALL : TAVU_OTHER_CALL;
}

// Per event, per add and per remove: (group, row) -> subject -> counts;
// the sums come first, as group -1.
using tavuCallRows =
    std::map<std::pair<int, std::string>, std::map<std::string, std::array<double, 2>>>;
using tavuCounts = std::map<std::string, uint64_t>;

// One phase's counts into their rows: the subject's (every thread) by
// name and summed, its client's summed apart.
void tavuAddCalls(const tavuCounts& own, const tavuCounts& client, double events,
                  const char* subject, int phase, tavuCallRows* rows) {
  const char* const sums[] = {"file-system calls", "poll calls", "all calls"};  // by group
  for (const char* sum : sums) (*rows)[{-1, sum}][subject][phase] += 0;
  for (const auto& call : own) {
    const tavuCallGroup group = tavuGroupOf(call.first);
    const std::string name = group == TAVU_FILE_CALL ? call.first + " (file)" : call.first;
    const double perEvent = static_cast<double>(call.second) / events;
    (*rows)[{group, name}][subject][phase] += perEvent;
    if (group != TAVU_OTHER_CALL) (*rows)[{-1, sums[group]}][subject][phase] += perEvent;
    (*rows)[{-1, "all calls"}][subject][phase] += perEvent;
  }
  for (const auto& call : client) {
    (*rows)[{-1, "all calls of the client"}][subject][phase] +=
        static_cast<double>(call.second) / events;
  }
}

// strace attached from before the first event to after the last; every
// event handled, none dropped, or the counts would be no event's.
bool tavuCountPhase(const tavuBenchConfig& config, tavuSubject* subject, tavuBenchEvents events,
                    tavuCallRows* rows, std::string* error) {
  const bool adds = events == TAVU_UART_ADD;
  const char* name = tavuSubjectName(subject->kind);
  const std::string stem = config.workDir + "/calls-" + name + (adds ? "-add" : "-remove");
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
  tavuCounts ownCalls, clientCalls;
  const bool ownRead = tavuStopSyscallCount(&own, &ownCalls, &stopError);
  const bool read = tavuStopSyscallCount(&client, &clientCalls, &stopError) && ownRead;
  if (ok && !read) *error = stopError;
  if (ok && (trial.drops != 0 || trial.nodes != present)) {
    *error = "while its calls were counted, " + std::to_string(trial.drops) +
             " events were dropped and " + std::to_string(trial.nodes) + " nodes are there, not " +
             std::to_string(present);
    ok = false;
  }
  if (ok && read) tavuAddCalls(ownCalls, clientCalls, config.callEvents, name, adds ? 0 : 1, rows);
  return ok && read;
}

// Rounded to the hundredth; a call that a subject makes less than once in a
// hundred events leaves its cell empty.
void tavuRecordCalls(const tavuCallRows& rows) {
  const auto rounded = [](double value) { return std::round(value * 100) / 100; };
  for (const auto& row : rows) {
    for (const auto& cell : row.second) {
      const double add = rounded(cell.second[0]), remove = rounded(cell.second[1]);
      if (row.first.first < 0 || add != 0 || remove != 0) {
        std::printf("%s\t%s\tcalls\t%g / %g\n", row.first.second.c_str(), cell.first.c_str(), add,
                    remove);
      }
    }
  }
}

}  // namespace

bool tavuMeasureCalls(const tavuBenchConfig& config, std::string* error) {
  tavuCallRows rows;
  for (int kind = 0; kind < TAVU_SUBJECT_KINDS; ++kind) {
    tavuSubject subject;
    tavuClearNodes();
    const bool ok =
        tavuStartSubject(config, static_cast<tavuSubjectKind>(kind), true, &subject, error) &&
        tavuCountPhase(config, &subject, TAVU_UART_ADD, &rows, error) &&
        tavuCountPhase(config, &subject, TAVU_UART_REMOVE, &rows, error);
    tavuStopSubject(&subject);
    if (!ok) {
      *error = std::string(tavuSubjectName(static_cast<tavuSubjectKind>(kind))) + ": " + *error;
      return false;
    }
  }
  tavuRecordCalls(rows);
  tavuClearNodes();
  return true;
}
