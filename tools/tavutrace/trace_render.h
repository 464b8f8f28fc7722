// Decoded entries as text and JSON, with the texts of a daemon build's
// report-site table.
#pragma once

#include <string>
#include <vector>

#include "site_table.h"
#include "trace_decode.h"

// The entry's full text with its arguments filled in; a hash not in the
// table renders its raw arguments. Binary entries render as the site's
// text, the datagram's NUL-separated strings and, on following indented
// lines, a hex dump. Control characters are escaped, so an argument entry
// is one line.
std::string tavuRenderRecord(const tavuTraceRecord& record, const tavuSiteTable& table);

// One JSON object, without a newline.
std::string tavuRecordJson(const tavuTraceRecord& record, const tavuSiteTable& table);

// --- Pieces of the rendering ------------------------------------------------

// The site's text (without its trailing newline) with the arguments filled
// in, or "unknown site 0x%08x line N: args..."; nothing escaped.
std::string tavuRecordText(const tavuTraceRecord& record, const tavuSiteTable& table);

// Fills the %s, %d and %x of `text` with `args` in order ("%%" is a "%").
std::string tavuFillText(const std::string& text, const std::vector<tavuTraceArg>& args);

// "message", "trace" or "binary" from the site table; "unknown" for an
// argument entry whose hash is not in it.
const char* tavuRecordKindName(const tavuTraceRecord& record, const tavuSiteTable& table);

// The non-empty NUL-separated strings of a datagram.
std::vector<std::string> tavuDatagramStrings(const std::vector<uint8_t>& data);

// Lines of "    0000  41 43 ...  |AC..|", 16 bytes each, without a final newline.
std::string tavuHexDump(const std::vector<uint8_t>& data);
