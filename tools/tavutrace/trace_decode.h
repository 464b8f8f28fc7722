// Reading a trace buffer file written by the trace facility stand-in, on
// either byte order. Used by tools/tavutrace and by the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct tavuTraceArg {
  char type = 0;       // 's', 'd' or 'x'
  int32_t number = 0;  // for 'd' and 'x'
  std::string text;    // for 's'
};

struct tavuTraceRecord {
  enum Kind { ARGS = 1, BINARY = 2 };
  uint32_t seq = 0;     // order of writing, from 0
  int64_t seconds = 0;  // CLOCK_REALTIME of the write
  uint32_t nanoseconds = 0;
  Kind kind = ARGS;
  uint32_t hash = 0;               // ARGS: the site's hash; BINARY: the head's hash
  uint32_t line = 0;               // the site's line
  std::string format;              // ARGS: the argument-type format as written
  std::vector<tavuTraceArg> args;  // ARGS
  uint16_t binaryTag = 0;          // BINARY: the head's tag (0x4644)
  std::vector<uint8_t> data;       // BINARY: the bytes after the 12-byte head
  uint16_t binaryLength = 0;       // BINARY: the head's length field
  bool binaryHead = false;         // BINARY: the first chunk was a 12-byte head
  uint16_t flags = 0;              // the writer's TAVU_TRACE_FLAG_* (arguments cut short)
};

struct tavuTraceBuffer {
  std::string name;             // e.g. "TAVUNL"
  uint32_t size = 0;            // the ring's size in bytes as requested
  bool bigEndian = false;       // byte order of the writer
  std::string buildId;          // which build wrote it
  uint32_t entriesWritten = 0;  // in the life of the buffer, including overwritten ones
  uint32_t layoutVersion = 0;
  uint32_t entriesHeld = 0;              // entries the header says the ring holds
  std::vector<tavuTraceRecord> records;  // oldest first
  std::vector<std::string> problems;     // what could not be decoded, if anything
};

// The file of the named buffer: $TAVU_TRACE_DIR/NAME, by default /run/tavutrace/NAME.
std::string tavuTraceBufferPath(const char* name);

// Decodes a whole buffer file image. Returns false with `error` set when the
// image is not a trace buffer at all; a damaged image decodes partly, with
// the damage described in `problems`.
bool tavuDecodeTraceBuffer(const std::vector<uint8_t>& image, tavuTraceBuffer* out,
                           std::string* error);
// Reads the file, retrying while its writer is in the middle of an entry.
bool tavuReadTraceBufferFile(const std::string& path, tavuTraceBuffer* out, std::string* error);
