#include "daemon/backlog_release.h"

#include <malloc.h>

namespace {

// Below this a backlog's memory is not worth a trim: the allocator's own
// thresholds already return it, and a trim per event would cost more.
constexpr int32_t TAVU_BACKLOG_WORTH_RELEASING = 1024;

// The largest backlog seen since the queue last ran empty.
int32_t g_backlogPeak = 0;

}  // namespace

void tavuReleaseDrainedBacklog(int32_t queued) {
  if (queued > g_backlogPeak) g_backlogPeak = queued;
  if (queued != 0 || g_backlogPeak < TAVU_BACKLOG_WORTH_RELEASING) return;
  g_backlogPeak = 0;
  // The freed records sit in the free lists of the worker's arena, where
  // nothing returns them by itself: a board that once queued a long burst
  // for a late client would keep that memory for good.
  malloc_trim(0);
}
