// What tavutrace prints: the decoded entries as text, the site's message
// with its arguments or the raw arguments of a site the table does not
// hold, and as JSON; the header; the site table; and what the entries say
// of the daemon.
#include <cinttypes>
#include <cstring>

#include "text_format.h"
#include "trace_decode.h"

namespace {

// When the entry was written, in UTC to the microsecond.
std::string tavuRecordTime(const tavuTraceRecord& record) {
  return tavuUtcTime(record.iv_seconds, record.iv_nanoseconds / 1000);
}

// The non-empty NUL-separated strings of a datagram.
std::vector<std::string> tavuDatagramStrings(const std::vector<uint8_t>& data) {
  std::vector<std::string> strings;
  const auto* text = reinterpret_cast<const char*>(data.data());
  for (std::size_t at = 0, length = 0; at < data.size(); at += length + 1) {
    length = strnlen(text + at, data.size() - at);
    if (length > 0) strings.emplace_back(text + at, length);
  }
  return strings;
}

// Lines of "    0000  41 43 ...  |AC..|", 16 bytes each, each after a newline.
std::string tavuHexDump(const std::vector<uint8_t>& data) {
  std::string out;
  for (std::size_t row = 0; row < data.size(); row += 16) {
    std::string hex;
    std::string ascii;
    for (std::size_t i = row; i < row + 16; ++i) {
      const bool held = i < data.size();
      hex += (held ? tavuFormat("%02x ", data[i]) : "   ") + (i % 16 == 7 ? " " : "");
      if (held) ascii += data[i] >= 0x20 && data[i] < 0x7f ? static_cast<char>(data[i]) : '.';
    }
    out += tavuFormat("\n    %04zx  %s |%s|", row, hex.c_str(), ascii.c_str());
  }
  return out;
}

// An argument as a conversion shows it (a mismatched type still shows what
// was recorded), or raw for none ('\0'): a string quoted, 'x' as 0x...
std::string tavuArgText(char conversion, const tavuTraceArg& arg) {
  const bool hex = conversion == 'x' || (conversion != 'd' && arg.iv_type == 'x');
  if (arg.iv_type == 's') return conversion == '\0' ? "\"" + arg.iv_text + "\"" : arg.iv_text;
  if (!hex) return std::to_string(arg.iv_number);
  return tavuFormat(conversion == '\0' ? "0x%" PRIx32 : "%" PRIx32,
                    static_cast<uint32_t>(arg.iv_number));
}

std::string tavuJoinRawArgs(const std::vector<tavuTraceArg>& args, std::size_t from) {
  std::string text;
  for (std::size_t i = from; i < args.size(); ++i) {
    text += (i > from ? ", " : "") + tavuArgText('\0', args[i]);
  }
  return text;
}

// Fills the %s, %d and %x of `text` with `args` in order ("%%" is a "%").
std::string tavuFillText(const std::string& text, const std::vector<tavuTraceArg>& args) {
  std::string out;
  std::size_t next = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%' || i + 1 == text.size()) {
      out += text[i];
    } else if (text[++i] == '%') {
      out += '%';
    } else {
      out += next < args.size() ? tavuArgText(text[i], args[next++]) : "<missing>";
    }
  }
  if (next < args.size()) out += " [more: " + tavuJoinRawArgs(args, next) + "]";
  return out;
}

// The site's text (without its trailing newline) with the arguments filled
// in, or "unknown site 0x%08x line N: args..."; nothing escaped. A binary
// entry's site text takes no arguments: its data follows it.
std::string tavuRecordText(const tavuTraceRecord& record, const tavuSiteTable& table) {
  const bool binary = record.iv_kind == TAVU_RECORD_BINARY;
  if (binary && !record.iv_binaryHead) return "binary entry without a site head";
  const tavuSiteInfo* site = tavuFindSite(table, record.iv_hash);
  if (site == nullptr) {
    const std::string args = tavuJoinRawArgs(record.iv_args, 0);
    return tavuFormat("unknown site 0x%08" PRIx32 " line %" PRIu32 ":", record.iv_hash,
                      record.iv_line) +
           (args.empty() ? "" : " " + args);
  }
  const std::string& text = site->iv_text;
  const std::string line = text.substr(0, text.size() - (!text.empty() && text.back() == '\n'));
  return binary ? line : tavuFillText(line, record.iv_args);
}

// One JSON object, without a newline.
std::string tavuRecordJson(const tavuTraceRecord& record, const tavuSiteTable& table) {
  const bool binary = record.iv_kind == TAVU_RECORD_BINARY;
  const tavuSiteInfo* site = tavuFindSite(table, record.iv_hash);
  std::string out = "{\"seq\":" + std::to_string(record.iv_seq) + ",\"time\":\"" +
                    tavuRecordTime(record) + "\",\"kind\":\"" +
                    (binary            ? "binary"
                     : site != nullptr ? tavuSiteKindName(site->iv_kind)
                                       : "unknown") +
                    "\"" +
                    tavuFormat(",\"hash\":\"0x%08" PRIx32 "\",\"line\":%" PRIu32, record.iv_hash,
                               record.iv_line) +
                    ",\"text\":" + tavuJsonString(tavuRecordText(record, table)) + ",\"args\":[";
  for (std::size_t i = 0; i < record.iv_args.size(); ++i) {
    const tavuTraceArg& arg = record.iv_args[i];
    out += (i == 0 ? "" : ",") + (arg.iv_type == 's' ? tavuJsonString(arg.iv_text)
                                  : arg.iv_type == 'x'
                                      ? std::to_string(static_cast<uint32_t>(arg.iv_number))
                                      : std::to_string(arg.iv_number));
  }
  out += "]";
  if (!binary) return out + "}";
  out += ",\"strings\":[";
  const std::vector<std::string> strings = tavuDatagramStrings(record.iv_data);
  for (std::size_t i = 0; i < strings.size(); ++i) {
    out += (i == 0 ? "" : ",") + tavuJsonString(strings[i]);
  }
  out += "],\"hex\":\"";
  for (const uint8_t byte : record.iv_data) out += tavuFormat("%02x", byte);
  return out + "\"}";
}

// The entry's text with its arguments filled in; a hash not in the table
// renders its raw arguments. Binary entries render as the site's text, the
// datagram's NUL-separated strings and, on following indented lines, a
// hex dump. Control characters are escaped, so an argument entry is one
// line.
std::string tavuRenderRecord(const tavuTraceRecord& record, const tavuSiteTable& table) {
  std::string out = tavuEscapeText(tavuRecordText(record, table));
  if (record.iv_kind != TAVU_RECORD_BINARY) return out;
  for (const std::string& text : tavuDatagramStrings(record.iv_data)) {
    out += " \"" + tavuEscapeText(text) + "\"";
  }
  return out + tavuHexDump(record.iv_data);
}

// A text as a JSON string, or escaped onto the line.
std::string tavuShown(const std::string& text, bool json) {
  return json ? tavuJsonString(text) : tavuEscapeText(text);
}

// ---- The status ---------------------------------------------------------
// What the entries say of the daemon, read from those whose site texts
// carry it: the worker's "queued" and the delivery loop's "sent", with the
// event totals, the delivery loop's "Send error", and the binary entries of
// rejected uevents.

bool tavuHasSite(const tavuTraceRecord& record, const tavuSiteTable& table, const char* start) {
  const tavuSiteInfo* site = tavuFindSite(table, record.iv_hash);
  return record.iv_kind == TAVU_RECORD_ARGS && site != nullptr &&
         site->iv_text.compare(0, std::strlen(start), start) == 0;
}

// Since when the trace runs: from its first entry, unless the ring lost it.
std::string tavuRunningSince(const std::vector<tavuTraceRecord>& records) {
  if (records.empty()) return "unknown: the trace holds no entry";
  if (records[0].iv_seq == 0) return tavuRecordTime(records[0]) + " (its client's handshake)";
  return tavuFormat("before %s (%u earlier entries overwritten)",
                    tavuRecordTime(records[0]).c_str(), records[0].iv_seq);
}

// "6 received, 4 served, 2 delivered": the last three arguments of
// "queued" and "sent" entries.
std::string tavuTotals(const tavuTraceRecord* record) {
  if (record == nullptr || record->iv_args.size() < 3) return "none traced";
  const tavuTraceArg* totals = &record->iv_args[record->iv_args.size() - 3];
  return tavuFormat("%d received, %d served, %d delivered", totals[0].iv_number,
                    totals[1].iv_number, totals[2].iv_number);
}

// From "Send error errno=%d, netlinkEvent dropped: iv_action=%s, iv_seq=%d,
// iv_type=%s, iv_path=%s": the event it failed on, and why.
std::string tavuClientGone(const tavuTraceRecord* failed, int dropped) {
  if (failed == nullptr || failed->iv_args.size() != 7) return "no sign of it going";
  const std::vector<tavuTraceArg>& args = failed->iv_args;
  return tavuFormat("gone since event seq=%d (", args[4].iv_number) +
         tavuEscapeText(args[3].iv_text + " " + args[6].iv_text) +
         tavuFormat("): %s (errno %d); %d event%s not delivered", std::strerror(args[2].iv_number),
                    args[2].iv_number, dropped, dropped == 1 ? "" : "s");
}

}  // namespace

void tavuPrintRecords(std::FILE* out, const tavuTraceBuffer& buffer, const tavuSiteTable& table,
                      bool json) {
  for (const tavuTraceRecord& record : buffer.iv_records) {
    const std::string line = json ? tavuRecordJson(record, table)
                                  : tavuRecordTime(record) + " " + tavuRenderRecord(record, table);
    std::fprintf(out, "%s\n", line.c_str());
  }
}

void tavuPrintHeader(std::FILE* out, const tavuTraceBuffer& buffer, bool json) {
  std::fprintf(out,
               json ? "{\"name\":%s,\"size\":%u,\"byteOrder\":\"%s\",\"build\":%s,"
                      "\"layoutVersion\":%u,\"entriesWritten\":%u,\"entriesHeld\":%u}\n"
                    : "name:            %s\n"
                      "size:            %u bytes\n"
                      "byte order:      %s\n"
                      "build:           %s\n"
                      "layout version:  %u\n"
                      "entries written: %u\n"
                      "entries held:    %u\n",
               tavuShown(buffer.iv_name, json).c_str(), buffer.iv_size,
               buffer.iv_bigEndian ? "big-endian" : "little-endian",
               tavuShown(buffer.iv_buildId, json).c_str(), buffer.iv_layoutVersion,
               buffer.iv_entriesWritten, buffer.iv_entriesHeld);
}

void tavuPrintSites(std::FILE* out, const tavuSiteTable& table, bool json) {
  for (const tavuSiteInfo& site : table.iv_sites) {
    std::fprintf(out,
                 json ? "{\"hash\":\"0x%08x\",\"kind\":\"%s\",\"line\":%u,\"text\":%s}\n"
                      : "0x%08x\t%s\t%u\t%s\n",
                 site.iv_hash, tavuSiteKindName(site.iv_kind), site.iv_line,
                 tavuShown(site.iv_text, json).c_str());
  }
}

void tavuPrintStatus(std::FILE* out, const tavuTraceBuffer& buffer, const tavuSiteTable& table) {
  const tavuTraceRecord* totals = nullptr;
  const tavuTraceRecord* failed = nullptr;  // the first failed send since the last event sent
  const tavuTraceRecord* rejected = nullptr;
  int dropped = 0;
  for (const tavuTraceRecord& record : buffer.iv_records) {
    const bool sent = tavuHasSite(record, table, "%s:%s: sent ");
    const bool failure = tavuHasSite(record, table, "%s:%s: Send error errno=");
    if (sent || tavuHasSite(record, table, "%s:%s: queued ")) totals = &record;
    failed = sent ? nullptr : failure && failed == nullptr ? &record : failed;
    dropped = sent ? 0 : dropped + static_cast<int>(failure);
    if (record.iv_kind == TAVU_RECORD_BINARY) rejected = &record;
  }
  std::string last = "none in the trace";
  if (rejected != nullptr) {
    last = tavuRenderRecord(*rejected, table);
    last = last.substr(0, last.find('\n')) + ", at " + tavuRecordTime(*rejected);
  }
  std::fprintf(out,
               "running since:  %s\nevents:         %s\nclient:         %s\nlast rejected:  %s\n",
               tavuRunningSince(buffer.iv_records).c_str(), tavuTotals(totals).c_str(),
               tavuClientGone(failed, dropped).c_str(), last.c_str());
}
