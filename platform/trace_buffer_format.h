// Layout of a trace buffer file, shared by the trace facility stand-in that
// writes it and the decoder that reads it (possibly on another machine).
//
//   file   = header (TAVU_TRACE_HEADER_SIZE bytes) + ring (header.ringSize bytes)
//   ring   = entries back to back, oldest at header.oldest, the next one
//            written at header.next; an entry may run over the ring's end and
//            continue at its start. header.used bytes hold whole entries.
//   entry  = entry head + payload, header.check over all of it
//
// Every number is in the writer's byte order, told by header.byteOrderMark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// The daemon's buffer, which tavutrace reads unless told another.
constexpr char TAVU_TRACE_BUFFER_NAME[] = "TAVUNL";

constexpr char TAVU_TRACE_DIR_VARIABLE[] = "TAVU_TRACE_DIR";
constexpr char TAVU_TRACE_DIR_DEFAULT[] = "/run/tavutrace";

// The folder of the buffer files, where the stand-in makes them and
// tavutrace finds them by name.
inline const char* tavuTraceDir() {
  const char* dir = std::getenv(TAVU_TRACE_DIR_VARIABLE);
  return dir != nullptr && dir[0] != '\0' ? dir : TAVU_TRACE_DIR_DEFAULT;
}

constexpr char TAVU_TRACE_MAGIC[8] = {'T', 'A', 'V', 'U', 'T', 'R', 'C', '\0'};
constexpr uint32_t TAVU_TRACE_LAYOUT_VERSION = 1;
constexpr uint32_t TAVU_TRACE_BYTE_ORDER_MARK = 0x01020304;  // reads 0x04030201 when swapped
constexpr std::size_t TAVU_TRACE_NAME_MAX = 32;              // with its NUL
constexpr std::size_t TAVU_TRACE_BUILD_MAX = 48;             // with its NUL

// Bounds the stand-in accepts for a ring.
constexpr uint32_t TAVU_TRACE_RING_MIN = 256;
constexpr uint32_t TAVU_TRACE_RING_MAX = 64u << 20;

struct tavuTraceFileHeader {
  char magic[8];  // TAVU_TRACE_MAGIC, written last at creation
  uint32_t byteOrderMark;
  uint32_t layoutVersion;
  uint32_t headerSize;      // where the ring starts
  uint32_t ringSize;        // as requested at creation
  uint32_t generation;      // odd while the writer changes the ring
  uint32_t oldest;          // ring offset of the oldest entry
  uint32_t next;            // ring offset of the next entry
  uint32_t used;            // bytes held by whole entries from `oldest`
  uint32_t entriesHeld;     // entries in those bytes
  uint32_t entriesWritten;  // in the buffer's life; also the next entry's seq
  char name[TAVU_TRACE_NAME_MAX];
  char buildId[TAVU_TRACE_BUILD_MAX];
};
constexpr std::size_t TAVU_TRACE_HEADER_SIZE = 128;
static_assert(sizeof(tavuTraceFileHeader) == TAVU_TRACE_HEADER_SIZE, "header layout is fixed");
static_assert(offsetof(tavuTraceFileHeader, entriesWritten) == 44, "header layout is fixed");
static_assert(offsetof(tavuTraceFileHeader, buildId) == 80, "header layout is fixed");

enum tavuTraceEntryKind : uint16_t {
  TAVU_TRACE_ENTRY_ARGS = 1,    // from trace_kelu_write_all
  TAVU_TRACE_ENTRY_CHUNKS = 2,  // from trace_kelu_write2
};

// Entry flags.
constexpr uint16_t TAVU_TRACE_FLAG_FORMAT_CUT = 1;  // an unknown conversion ended the arguments
constexpr uint16_t TAVU_TRACE_FLAG_STRING_CUT = 2;  // a string was longer than the cap

// Entry head. `check` is FNV-1a over the whole entry with `check` as zero.
struct tavuTraceEntryHead {
  uint32_t size;  // bytes of the whole entry, head included
  uint32_t check;
  uint32_t seq;
  uint16_t kind;   // tavuTraceEntryKind
  uint16_t count;  // ARGS: number of arguments; CHUNKS: 0
  uint16_t flags;
  uint16_t reserved;
  uint32_t secondsHigh;  // CLOCK_REALTIME, seconds as a signed 64-bit value
  uint32_t secondsLow;
  uint32_t nanoseconds;
  uint32_t hash;  // ARGS: the site's hash; CHUNKS: 0
  uint32_t line;  // ARGS: the site's line; CHUNKS: 0
};
constexpr std::size_t TAVU_TRACE_ENTRY_HEAD_SIZE = 40;
static_assert(sizeof(tavuTraceEntryHead) == TAVU_TRACE_ENTRY_HEAD_SIZE, "entry layout is fixed");
constexpr std::size_t TAVU_TRACE_CHECK_OFFSET = offsetof(tavuTraceEntryHead, check);

// ARGS payload: per argument its type letter, then
//   's': uint16 length and that many bytes (no NUL), at most TAVU_TRACE_STRING_MAX
//   'd', 'x': a 32-bit value
// CHUNKS payload: uint32 size of the first chunk, the first chunk, the second
// chunk (the rest of the entry).
constexpr std::size_t TAVU_TRACE_STRING_MAX = 1024;
constexpr std::size_t TAVU_TRACE_ARGS_MAX = 32;

constexpr uint32_t tavuTraceCheckStart() {
  return 2166136261u;
}
constexpr uint32_t tavuTraceCheckAdd(uint32_t check, const uint8_t* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    check ^= bytes[i];
    check *= 16777619u;
  }
  return check;
}
