// Entries in the ring of a mapped trace buffer file. The caller holds the
// buffer's lock around tavuRingBegin ... tavuRingCommit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/trace_buffer_format.h"

// Where the entry being written goes; its bytes may wrap round the ring.
struct tavuRingCursor {
  tavuTraceFileHeader* header;
  uint8_t* ring;
  uint32_t start;  // ring offset of the entry
  uint32_t at;     // ring offset of the next byte
  uint32_t size;   // bytes of the whole entry
  uint32_t check;  // FNV-1a of the bytes put so far
};

// Makes room for an entry of `size` bytes by dropping the oldest whole
// entries. Returns false, changing nothing, when it cannot fit at all.
bool tavuRingBegin(tavuTraceFileHeader* header, uint32_t size, tavuRingCursor* cursor);

void tavuRingPut(tavuRingCursor* cursor, const void* data, std::size_t length);

// Stores the entry's check and makes the entry part of the ring.
void tavuRingCommit(tavuRingCursor* cursor);
