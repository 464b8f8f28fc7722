// Stand-in for the platform's trace facility: named ring buffers in
// memory-mapped files that tools/tavutrace decodes, even while written.
#include "trace_kelu.h"

#include <limits.h>
#include <pthread.h>
#include <sys/mman.h>
#include <time.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "trace_ring.h"

namespace {

// A descriptor is this base plus its slot, so that stray values are refused.
constexpr trace_kelu_desc_t TAVU_TRACE_DESC_BASE = 0x54420000u;
constexpr std::size_t TAVU_TRACE_SLOTS = 64;

struct tavuTraceSlot {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  tavuTraceFileHeader* header = nullptr;  // null while unused
  std::size_t mapLength = 0;
  char path[PATH_MAX] = {};
};

tavuTraceSlot g_traceSlots[TAVU_TRACE_SLOTS];
pthread_mutex_t g_traceSlotsMutex = PTHREAD_MUTEX_INITIALIZER;  // guards choosing a slot

bool tavuValidBufferName(const char* name) {
  if (name == nullptr || name[0] == '\0') return false;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
  return std::strchr(name, '/') == nullptr && std::strlen(name) < TAVU_TRACE_NAME_MAX;
}

// The slot already holding `path` (a buffer made again), else a free one.
tavuTraceSlot* tavuChooseSlot(const char* path, std::size_t* index) {
  tavuTraceSlot* freeSlot = nullptr;
  for (std::size_t i = 0; i < TAVU_TRACE_SLOTS; ++i) {
    if (g_traceSlots[i].path[0] == '\0') {
      if (freeSlot == nullptr) {
        freeSlot = &g_traceSlots[i];
        *index = i;
      }
    } else if (std::strcmp(g_traceSlots[i].path, path) == 0) {
      *index = i;
      return &g_traceSlots[i];
    }
  }
  return freeSlot;
}

int tavuFillSlot(tavuTraceSlot* slot, const char* path, const char* name, uint32_t size) {
  pthread_mutex_lock(&slot->mutex);
  if (slot->header != nullptr) munmap(slot->header, slot->mapLength);
  slot->header = tavuCreateTraceFile(path, name, size);
  const int savedErrno = errno;
  slot->mapLength = tavuTraceFileLength(size);
  std::snprintf(slot->path, sizeof slot->path, "%s", path);
  pthread_mutex_unlock(&slot->mutex);
  errno = savedErrno;
  return slot->header != nullptr ? 0 : -1;
}

// The slot of a descriptor, locked, or null when it names no buffer.
tavuTraceSlot* tavuLockSlot(trace_kelu_desc_t desc) {
  if (desc < TAVU_TRACE_DESC_BASE || desc - TAVU_TRACE_DESC_BASE >= TAVU_TRACE_SLOTS) {
    errno = EBADF;
    return nullptr;
  }
  tavuTraceSlot* slot = &g_traceSlots[desc - TAVU_TRACE_DESC_BASE];
  pthread_mutex_lock(&slot->mutex);
  if (slot->header == nullptr) {
    pthread_mutex_unlock(&slot->mutex);
    errno = EBADF;
    return nullptr;
  }
  return slot;
}

tavuTraceEntryHead tavuMakeEntryHead(uint32_t size, uint16_t kind, uint32_t seq) {
  tavuTraceEntryHead head;
  std::memset(&head, 0, sizeof head);
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const auto seconds = static_cast<uint64_t>(static_cast<int64_t>(now.tv_sec));
  head.size = size;
  head.seq = seq;
  head.kind = kind;
  head.secondsHigh = static_cast<uint32_t>(seconds >> 32);
  head.secondsLow = static_cast<uint32_t>(seconds);
  head.nanoseconds = static_cast<uint32_t>(now.tv_nsec);
  return head;
}

void tavuPutArgs(tavuRingCursor* cursor, const tavuTraceArgList& list) {
  for (uint16_t i = 0; i < list.count; ++i) {
    const tavuTraceArgValue& value = list.values[i];
    tavuRingPut(cursor, &value.type, 1);
    if (value.type == 's') {
      tavuRingPut(cursor, &value.length, sizeof value.length);
      tavuRingPut(cursor, value.text, value.length);
    } else {
      tavuRingPut(cursor, &value.number, sizeof value.number);
    }
  }
}

}  // namespace

extern "C" int trace_kelu_init_buffer(trace_kelu_desc_t* desc, const char* name, uint32_t size) {
  if (desc == nullptr) {
    errno = EINVAL;
    return -1;
  }
  *desc = TRACE_KELU_NO_BUFFER;
  if (!tavuValidBufferName(name) || size < TAVU_TRACE_RING_MIN || size > TAVU_TRACE_RING_MAX) {
    errno = EINVAL;
    return -1;
  }
  char path[PATH_MAX];
  if (tavuTraceFilePath(name, path, sizeof path) != 0) return -1;
  pthread_mutex_lock(&g_traceSlotsMutex);
  std::size_t index = 0;
  tavuTraceSlot* slot = tavuChooseSlot(path, &index);
  int result = -1;
  if (slot == nullptr) {
    errno = EMFILE;
  } else {
    result = tavuFillSlot(slot, path, name, size);
  }
  pthread_mutex_unlock(&g_traceSlotsMutex);
  if (result == 0) *desc = TAVU_TRACE_DESC_BASE + static_cast<trace_kelu_desc_t>(index);
  return result;
}

// `flags` (always 0 from the daemon) only marks where the arguments begin.
extern "C" int trace_kelu_write_all(trace_kelu_desc_t desc, uint32_t hash, const char* format,
                                    uint32_t line, int flags, ...) {
  if (format == nullptr) {
    errno = EINVAL;
    return -1;
  }
  tavuTraceArgList list;
  va_list args;
  va_start(args, flags);
  tavuTraceParseArgs(format, args, &list);
  va_end(args);
  tavuTraceSlot* slot = tavuLockSlot(desc);
  if (slot == nullptr) return -1;
  const uint32_t size = static_cast<uint32_t>(TAVU_TRACE_ENTRY_HEAD_SIZE) + list.payloadSize;
  tavuRingCursor cursor;
  const bool fits = tavuRingBegin(slot->header, size, &cursor);
  if (fits) {
    tavuTraceEntryHead head =
        tavuMakeEntryHead(size, TAVU_TRACE_ENTRY_ARGS, slot->header->entriesWritten);
    head.count = list.count;
    head.flags = list.flags;
    head.hash = hash;
    head.line = line;
    tavuRingPut(&cursor, &head, sizeof head);
    tavuPutArgs(&cursor, list);
    tavuRingCommit(&cursor);
  }
  pthread_mutex_unlock(&slot->mutex);
  if (!fits) errno = EMSGSIZE;
  return fits ? 0 : -1;
}

extern "C" int trace_kelu_write2(trace_kelu_desc_t desc, int /*flags*/, uint32_t size1,
                                 const void* chunk1, uint32_t size2, const void* chunk2) {
  if ((chunk1 == nullptr && size1 != 0) || (chunk2 == nullptr && size2 != 0)) {
    errno = EINVAL;
    return -1;
  }
  const uint64_t total = TAVU_TRACE_ENTRY_HEAD_SIZE + sizeof(uint32_t) + uint64_t{size1} + size2;
  tavuTraceSlot* slot = tavuLockSlot(desc);
  if (slot == nullptr) return -1;
  tavuRingCursor cursor;
  const bool fits =
      total <= UINT32_MAX && tavuRingBegin(slot->header, static_cast<uint32_t>(total), &cursor);
  if (fits) {
    const tavuTraceEntryHead head = tavuMakeEntryHead(
        static_cast<uint32_t>(total), TAVU_TRACE_ENTRY_CHUNKS, slot->header->entriesWritten);
    tavuRingPut(&cursor, &head, sizeof head);
    tavuRingPut(&cursor, &size1, sizeof size1);
    tavuRingPut(&cursor, chunk1, size1);
    tavuRingPut(&cursor, chunk2, size2);
    tavuRingCommit(&cursor);
  }
  pthread_mutex_unlock(&slot->mutex);
  if (!fits) errno = EMSGSIZE;
  return fits ? 0 : -1;
}
