#include "driver.h"

namespace {

constexpr int TAVU_NODES_QUIET_MS = 300;
constexpr int TAVU_CLIENT_QUIET_MS = 1000;
constexpr int TAVU_TRIAL_TIMEOUT_MS = 120000;

}  // namespace

void tavuClearNodes() {
  tavuRemoveBenchNodes();
  (void)tavuWaitForNodes(0, TAVU_NODES_QUIET_MS, TAVU_TRIAL_TIMEOUT_MS);
}

bool tavuRunTrial(tavuSubject* subject, tavuBenchEvents events, uint32_t count, uint32_t rate,
                  uint32_t present, tavuTrial* trial, std::string* error) {
  uint32_t dropsBefore = 0, dropsAfter = 0;
  *trial = tavuTrial();
  trial->firstArrival = tavuClientCount(*subject);
  if (!tavuSubjectDrops(*subject, &dropsBefore, error) ||
      !tavuSendEvents(events, count, rate, &trial->sendNs, error)) {
    return false;
  }
  const tavuNodeCounts after =
      tavuWaitForNodes(present, TAVU_NODES_QUIET_MS, TAVU_TRIAL_TIMEOUT_MS);
  if (!tavuSubjectDrops(*subject, &dropsAfter, error)) return false;
  trial->drops = dropsAfter - dropsBefore;
  trial->nodes = after.present;
  trial->lastNodeNs = after.lastChangeNs;
  if (subject->arrivals == nullptr) return true;
  const uint32_t acked = tavuWaitClientCount(*subject, trial->firstArrival + count - trial->drops,
                                             TAVU_CLIENT_QUIET_MS);
  trial->acked = acked - trial->firstArrival;
  if (trial->acked > 0) trial->lastAckNs = tavuArrivalRecords(subject->arrivals)[acked - 1].ackNs;
  return true;
}
