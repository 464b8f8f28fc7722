// Reading a trace buffer file written by the trace facility stand-in, on
// either byte order, and rendering its entries with the report sites'
// texts. Used by tools/tavutrace and by the tests.
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

// The entry's full text with its arguments filled in, from the report-site
// table linked into this program; a hash not in the table renders its raw
// arguments. Binary entries render as the site's text, the datagram's
// NUL-separated strings and, on following indented lines, a hex dump.
// Control characters are escaped, so an argument entry is one line.
std::string tavuRenderRecord(const tavuTraceRecord& record);

// --- Pieces of the rendering, also used for --json -------------------------

// The site's text (without its trailing newline) with the arguments filled
// in, or "unknown site 0x%08x line N: args..."; nothing escaped.
std::string tavuRecordText(const tavuTraceRecord& record);

// Fills the %s, %d and %x of `text` with `args` in order ("%%" is a "%").
std::string tavuFillText(const std::string& text, const std::vector<tavuTraceArg>& args);

// "message", "trace" or "binary" from the site table; "unknown" for an
// argument entry whose hash is not in it.
const char* tavuRecordKindName(const tavuTraceRecord& record);

// The non-empty NUL-separated strings of a datagram.
std::vector<std::string> tavuDatagramStrings(const std::vector<uint8_t>& data);

// Lines of "    0000  41 43 ...  |AC..|", 16 bytes each, without a final newline.
std::string tavuHexDump(const std::vector<uint8_t>& data);

// "2026-12-06T03:33:10.123456Z" (UTC, microseconds), any 64-bit second.
std::string tavuFormatUtcTime(int64_t seconds, uint32_t nanoseconds);

// Backslash escapes for control characters, bytes above 0x7e and the
// backslash itself: the result is printable ASCII.
std::string tavuEscapeText(const std::string& text);

// A JSON string literal (quotes included); bytes above 0x7f as \u00XX.
std::string tavuJsonString(const std::string& text);

// One JSON object, without a newline.
std::string tavuRecordJson(const tavuTraceRecord& record);

// The report sites linked into this program.
struct tavuSiteInfo {
  uint32_t hash = 0;
  uint16_t kind = 0;  // tavuSiteKind
  uint32_t line = 0;
  std::string format;
  std::string text;
};
const std::vector<tavuSiteInfo>& tavuLinkedSites();  // by hash, then line
const tavuSiteInfo* tavuFindSite(uint32_t hash);
const char* tavuSiteKindName(uint16_t kind);

// The revision part of a build id ("abc123-dirty" of "abc123-dirty-x86_64"):
// builds of the same sources for different machines share their sites.
std::string tavuBuildRevision(const std::string& buildId);
