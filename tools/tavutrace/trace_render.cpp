// Turning decoded entries into text, the site's message with its arguments
// or the raw arguments of a site the table does not hold, and into JSON;
// what tavutrace prints.
#include <cinttypes>
#include <cstring>

#include "text_format.h"
#include "trace_decode.h"

namespace {

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

// Lines of "    0000  41 43 ...  |AC..|", 16 bytes each, without a final newline.
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
    out +=
        tavuFormat("%s    %04zx  %s |%s|", row == 0 ? "" : "\n", row, hex.c_str(), ascii.c_str());
  }
  return out;
}

// An argument in the place of a conversion; a mismatched type still shows
// what was recorded.
std::string tavuArgFor(char conversion, const tavuTraceArg& arg) {
  if (arg.iv_type == 's') return arg.iv_text;
  if (conversion == 'x' || (conversion != 'd' && arg.iv_type == 'x')) {
    return tavuFormat("%" PRIx32, static_cast<uint32_t>(arg.iv_number));
  }
  return std::to_string(arg.iv_number);
}

// How a raw argument shows when no text says what it is.
std::string tavuRawArg(const tavuTraceArg& arg) {
  if (arg.iv_type == 's') return "\"" + arg.iv_text + "\"";
  if (arg.iv_type == 'x') return tavuFormat("0x%" PRIx32, static_cast<uint32_t>(arg.iv_number));
  return std::to_string(arg.iv_number);
}

std::string tavuJoinRawArgs(const std::vector<tavuTraceArg>& args, std::size_t from) {
  std::string text;
  for (std::size_t i = from; i < args.size(); ++i) {
    if (i > from) text += ", ";
    text += tavuRawArg(args[i]);
  }
  return text;
}

std::string tavuWithoutNewline(std::string text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string tavuJsonArg(const tavuTraceArg& arg) {
  if (arg.iv_type == 's') return tavuJsonString(arg.iv_text);
  if (arg.iv_type == 'x') return std::to_string(static_cast<uint32_t>(arg.iv_number));
  return std::to_string(arg.iv_number);
}

std::string tavuBinaryMembers(const tavuTraceRecord& record) {
  std::string out = ",\"strings\":[";
  const std::vector<std::string> strings = tavuDatagramStrings(record.iv_data);
  for (std::size_t i = 0; i < strings.size(); ++i) {
    out += (i == 0 ? "" : ",") + tavuJsonString(strings[i]);
  }
  out += "],\"hex\":\"";
  for (const uint8_t byte : record.iv_data) out += tavuFormat("%02x", byte);
  return out + "\"";
}

// Fills the %s, %d and %x of `text` with `args` in order ("%%" is a "%").
std::string tavuFillText(const std::string& text, const std::vector<tavuTraceArg>& args) {
  std::string out;
  std::size_t next = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char conversion = text[++i];
    if (conversion == '%') {
      out += '%';
    } else if (next < args.size()) {
      out += tavuArgFor(conversion, args[next++]);
    } else {
      out += "<missing>";
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
  const std::string text = tavuWithoutNewline(site->iv_text);
  return binary ? text : tavuFillText(text, record.iv_args);
}

// "message", "trace" or "binary" from the site table; "unknown" for an
// argument entry whose hash is not in it.
const char* tavuRecordKindName(const tavuTraceRecord& record, const tavuSiteTable& table) {
  if (record.iv_kind == TAVU_RECORD_BINARY) return "binary";
  const tavuSiteInfo* site = tavuFindSite(table, record.iv_hash);
  return site != nullptr ? tavuSiteKindName(site->iv_kind) : "unknown";
}

// A text as a JSON string, or escaped onto the line.
std::string tavuShown(const std::string& text, bool json) {
  return json ? tavuJsonString(text) : tavuEscapeText(text);
}

}  // namespace

std::string tavuRenderRecord(const tavuTraceRecord& record, const tavuSiteTable& table) {
  std::string out = tavuEscapeText(tavuRecordText(record, table));
  if (record.iv_kind != TAVU_RECORD_BINARY) return out;
  for (const std::string& text : tavuDatagramStrings(record.iv_data)) {
    out += " \"" + tavuEscapeText(text) + "\"";
  }
  if (!record.iv_data.empty()) out += "\n" + tavuHexDump(record.iv_data);
  return out;
}

std::string tavuRecordJson(const tavuTraceRecord& record, const tavuSiteTable& table) {
  std::string out = "{\"seq\":" + std::to_string(record.iv_seq);
  out += ",\"time\":\"" + tavuUtcTime(record.iv_seconds, record.iv_nanoseconds / 1000) + "\"";
  out += ",\"kind\":\"" + std::string(tavuRecordKindName(record, table)) + "\"";
  out +=
      tavuFormat(",\"hash\":\"0x%08" PRIx32 "\",\"line\":%" PRIu32, record.iv_hash, record.iv_line);
  out += ",\"text\":" + tavuJsonString(tavuRecordText(record, table)) + ",\"args\":[";
  for (std::size_t i = 0; i < record.iv_args.size(); ++i) {
    out += (i == 0 ? "" : ",") + tavuJsonArg(record.iv_args[i]);
  }
  out += "]";
  if (record.iv_kind == TAVU_RECORD_BINARY) out += tavuBinaryMembers(record);
  return out + "}";
}

void tavuPrintRecords(std::FILE* out, const tavuTraceBuffer& buffer, const tavuSiteTable& table,
                      bool json) {
  for (const tavuTraceRecord& record : buffer.iv_records) {
    const std::string line = json ? tavuRecordJson(record, table)
                                  : tavuUtcTime(record.iv_seconds, record.iv_nanoseconds / 1000) +
                                        " " + tavuRenderRecord(record, table);
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
