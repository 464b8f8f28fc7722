// Below the three calls of trace_kelu.h: the arguments of one call, the
// ring of entries, and the memory-mapped file it lives in.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "trace_buffer_format.h"

// ---- The arguments of one trace_kelu_write_all call ----------------------

struct tavuTraceArgValue {
  char type;         // 's', 'd' or 'x'
  uint16_t length;   // 's': bytes kept of `text`
  const char* text;  // 's': the caller's string, not copied yet
  uint32_t number;   // 'd', 'x'
};

struct tavuTraceArgList {
  tavuTraceArgValue values[TAVU_TRACE_ARGS_MAX];
  uint16_t count;
  uint16_t flags;        // TAVU_TRACE_FLAG_*
  uint32_t payloadSize;  // bytes these arguments take in an entry
};

// Takes one argument from `args` per conversion of `format` (" %s,%s,%d").
// A conversion other than %s, %d and %x ends the list: what it would take
// from `args` is unknown, so nothing more can be read safely.
void tavuTraceParseArgs(const char* format, va_list args, tavuTraceArgList* out);

// ---- Entries in the ring -------------------------------------------------
// The caller holds the buffer's lock around tavuRingBegin ... tavuRingCommit.

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

// ---- The memory-mapped file behind one buffer ----------------------------

// Writes "$TAVU_TRACE_DIR/NAME" (default directory /run/tavutrace) into
// `path`, creating the directory if missing. Returns 0, or -1 with errno.
int tavuTraceFilePath(const char* name, char* path, std::size_t capacity);

// Replaces whatever file is at `path` by a new, empty buffer of `ringSize`
// bytes and maps it. Returns the header, or null with errno set.
tavuTraceFileHeader* tavuCreateTraceFile(const char* path, const char* name, uint32_t ringSize);

std::size_t tavuTraceFileLength(uint32_t ringSize);
