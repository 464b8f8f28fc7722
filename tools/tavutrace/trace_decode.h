// The trace decoder: a trace buffer file of the trace facility's stand-in,
// written on either byte order, decoded into its entries, and the entries
// rendered as text and JSON with the report-site table of the daemon build
// that wrote them. Nothing of the daemon in it, so it builds for the board
// too; tavutrace and the tests stand on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// ---- Decoded entries ---------------------------------------------------

struct tavuTraceArg {
  char iv_type = 0;       // 's', 'd' or 'x'
  int32_t iv_number = 0;  // for 'd' and 'x'
  std::string iv_text;    // for 's'
};

enum tavuTraceKind { TAVU_RECORD_ARGS = 1, TAVU_RECORD_BINARY = 2 };

struct tavuTraceRecord {
  uint32_t iv_seq = 0;     // order of writing, from 0
  int64_t iv_seconds = 0;  // CLOCK_REALTIME of the write
  uint32_t iv_nanoseconds = 0;
  tavuTraceKind iv_kind = TAVU_RECORD_ARGS;
  uint32_t iv_hash = 0;               // ARGS: the site's hash; BINARY: the head's hash
  uint32_t iv_line = 0;               // the site's line
  std::vector<tavuTraceArg> iv_args;  // ARGS
  std::vector<uint8_t> iv_data;       // BINARY: the bytes after the 12-byte head
  bool iv_binaryHead = false;         // BINARY: the first chunk was a 12-byte head
  uint16_t iv_flags = 0;              // the writer's TAVU_TRACE_FLAG_* (arguments cut short)
};

struct tavuTraceBuffer {
  std::string iv_name;             // e.g. "TAVUNL"
  uint32_t iv_size = 0;            // the ring's size in bytes as requested
  bool iv_bigEndian = false;       // byte order of the writer
  std::string iv_buildId;          // which build wrote it
  uint32_t iv_entriesWritten = 0;  // in the life of the buffer, including overwritten ones
  uint32_t iv_layoutVersion = 0;
  uint32_t iv_entriesHeld = 0;              // entries the header says the ring holds
  std::vector<tavuTraceRecord> iv_records;  // oldest first
  std::vector<std::string> iv_problems;     // what could not be decoded, if anything
};

// A whole buffer file image, or with `headerOnly` its header alone; false
// with `error` set when it is no trace buffer at all. A damaged image
// decodes partly, with the damage in iv_problems.
bool tavuDecodeTraceBuffer(const std::vector<uint8_t>& image, tavuTraceBuffer* out,
                           std::string* error, bool headerOnly = false);

// Reads the file (with `headerOnly`, no byte past the header) and decodes
// it, reading again while its writer is in the middle of an entry. False
// with `error` set, and errno when the file cannot be read (0 when it is no
// trace buffer); a damaged buffer decodes partly, with the damage in
// iv_problems.
bool tavuReadTraceBufferFile(const std::string& path, tavuTraceBuffer* out, std::string* error,
                             bool headerOnly = false);

// ---- The report-site table of one daemon build ---------------------------

// What one record of its section "tavu_sites" says (site_record.h).
struct tavuSiteInfo {
  uint32_t iv_hash = 0;
  uint32_t iv_line = 0;
  char iv_kind = 0;  // 'm' message, 't' trace, 'b' binary
  std::string iv_text;
};

struct tavuSiteTable {
  std::vector<tavuSiteInfo> iv_sites;  // by hash, then line
  std::string iv_buildId;              // empty when the binary names none
};

// Reads the records of a "tavu_sites" section's bytes into iv_sites.
// Returns false with `error` at the first damaged record.
bool tavuParseSiteRecords(const char* bytes, std::size_t size, tavuSiteTable* table,
                          std::string* error);

const tavuSiteInfo* tavuFindSite(const tavuSiteTable& table, uint32_t hash);

// "message", "trace" or "binary".
const char* tavuSiteKindName(char kind);

// ---- Rendering -----------------------------------------------------------

// What tavutrace prints, as text or JSON lines: every entry with its time,
// the header, the site table.
void tavuPrintRecords(std::FILE* out, const tavuTraceBuffer& buffer, const tavuSiteTable& table,
                      bool json);
void tavuPrintHeader(std::FILE* out, const tavuTraceBuffer& buffer, bool json);
void tavuPrintSites(std::FILE* out, const tavuSiteTable& table, bool json);

// What the entries say of the daemon, in a few lines: since when it runs,
// its event totals, whether its client is gone and the last uevent it
// rejected.
void tavuPrintStatus(std::FILE* out, const tavuTraceBuffer& buffer, const tavuSiteTable& table);
