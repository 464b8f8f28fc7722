#include "trace_ring.h"

#include <cstring>

namespace {

uint8_t* tavuRingBytes(tavuTraceFileHeader* header) {
  return reinterpret_cast<uint8_t*>(header) + TAVU_TRACE_HEADER_SIZE;
}

void tavuRingCopyIn(uint8_t* ring, uint32_t ringSize, uint32_t at, const uint8_t* data,
                    std::size_t length) {
  const std::size_t first = length < ringSize - at ? length : ringSize - at;
  std::memcpy(ring + at, data, first);
  std::memcpy(ring, data + first, length - first);
}

uint32_t tavuRingReadWord(const uint8_t* ring, uint32_t ringSize, uint32_t at) {
  uint8_t bytes[sizeof(uint32_t)];
  for (std::size_t i = 0; i < sizeof bytes; ++i) bytes[i] = ring[(at + i) % ringSize];
  uint32_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// A reader copying the file meanwhile sees an odd generation and retries.
void tavuRingBumpGeneration(tavuTraceFileHeader* header) {
  __atomic_store_n(&header->generation, header->generation + 1, __ATOMIC_RELEASE);
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
}

// The header lives in a file another process could scribble on: a ring
// that no longer adds up is emptied rather than trusted, which leaves room
// for any entry.
void tavuRingDropOldest(tavuTraceFileHeader* header) {
  const uint32_t ringSize = header->ringSize;
  const uint32_t size = tavuRingReadWord(tavuRingBytes(header), ringSize, header->oldest);
  if (size < TAVU_TRACE_ENTRY_HEAD_SIZE || size > header->used || header->entriesHeld == 0) {
    header->oldest = header->next;
    header->used = 0;
    header->entriesHeld = 0;
    return;
  }
  header->oldest = (header->oldest + size) % ringSize;
  header->used -= size;
  --header->entriesHeld;
}

}  // namespace

bool tavuRingBegin(tavuTraceFileHeader* header, uint32_t size, tavuRingCursor* cursor) {
  if (size > header->ringSize) return false;
  tavuRingBumpGeneration(header);
  if (header->used > header->ringSize || header->oldest >= header->ringSize ||
      header->next >= header->ringSize) {
    header->oldest = header->next = header->used = header->entriesHeld = 0;
  }
  while (header->ringSize - header->used < size) tavuRingDropOldest(header);
  cursor->header = header;
  cursor->ring = tavuRingBytes(header);
  cursor->start = cursor->at = header->next;
  cursor->size = size;
  cursor->check = tavuTraceCheckStart();
  return true;
}

void tavuRingPut(tavuRingCursor* cursor, const void* data, std::size_t length) {
  if (length == 0) return;  // `data` may be null then
  const auto* bytes = static_cast<const uint8_t*>(data);
  const uint32_t ringSize = cursor->header->ringSize;
  tavuRingCopyIn(cursor->ring, ringSize, cursor->at, bytes, length);
  cursor->check = tavuTraceCheckAdd(cursor->check, bytes, length);
  cursor->at = static_cast<uint32_t>((cursor->at + length) % ringSize);
}

void tavuRingCommit(tavuRingCursor* cursor) {
  tavuTraceFileHeader* header = cursor->header;
  const uint32_t ringSize = header->ringSize;
  const uint32_t checkAt =
      static_cast<uint32_t>((cursor->start + TAVU_TRACE_CHECK_OFFSET) % ringSize);
  uint8_t check[sizeof cursor->check];
  std::memcpy(check, &cursor->check, sizeof check);
  tavuRingCopyIn(cursor->ring, ringSize, checkAt, check, sizeof check);
  header->next = (cursor->start + cursor->size) % ringSize;
  header->used += cursor->size;
  ++header->entriesHeld;
  ++header->entriesWritten;
  tavuRingBumpGeneration(header);
}
