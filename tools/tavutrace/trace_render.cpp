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

// A text as a JSON string, or escaped onto the line.
std::string tavuShown(const std::string& text, bool json) {
  return json ? tavuJsonString(text) : tavuEscapeText(text);
}

}  // namespace

std::string tavuRecordTime(const tavuTraceRecord& record) {
  return tavuUtcTime(record.iv_seconds, record.iv_nanoseconds / 1000);
}

std::string tavuRenderRecord(const tavuTraceRecord& record, const tavuSiteTable& table) {
  std::string out = tavuEscapeText(tavuRecordText(record, table));
  if (record.iv_kind != TAVU_RECORD_BINARY) return out;
  for (const std::string& text : tavuDatagramStrings(record.iv_data)) {
    out += " \"" + tavuEscapeText(text) + "\"";
  }
  return out + tavuHexDump(record.iv_data);
}

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
