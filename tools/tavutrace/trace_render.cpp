// Turning decoded entries into text, the site's message with its arguments
// or the raw arguments of a site the table does not hold, and into JSON.
#include <cinttypes>
#include <cstring>

#include "text_format.h"
#include "trace_render.h"

namespace {

// An argument in the place of a conversion; a mismatched type still shows
// what was recorded.
std::string tavuArgFor(char conversion, const tavuTraceArg& arg) {
  if (arg.type == 's') return arg.text;
  if (conversion == 'x' || (conversion != 'd' && arg.type == 'x')) {
    return tavuFormat("%" PRIx32, static_cast<uint32_t>(arg.number));
  }
  return std::to_string(arg.number);
}

// How a raw argument shows when no text says what it is.
std::string tavuRawArg(const tavuTraceArg& arg) {
  if (arg.type == 's') return "\"" + arg.text + "\"";
  if (arg.type == 'x') return tavuFormat("0x%" PRIx32, static_cast<uint32_t>(arg.number));
  return std::to_string(arg.number);
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
  if (arg.type == 's') return tavuJsonString(arg.text);
  if (arg.type == 'x') return std::to_string(static_cast<uint32_t>(arg.number));
  return std::to_string(arg.number);
}

std::string tavuBinaryMembers(const tavuTraceRecord& record) {
  std::string out = ",\"strings\":[";
  const std::vector<std::string> strings = tavuDatagramStrings(record.data);
  for (std::size_t i = 0; i < strings.size(); ++i) {
    out += (i == 0 ? "" : ",") + tavuJsonString(strings[i]);
  }
  out += "],\"hex\":\"";
  for (const uint8_t byte : record.data) out += tavuFormat("%02x", byte);
  return out + "\"";
}

}  // namespace

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

// A binary entry's site text takes no arguments: its data follows it.
std::string tavuRecordText(const tavuTraceRecord& record, const tavuSiteTable& table) {
  const bool binary = record.kind == tavuTraceRecord::BINARY;
  if (binary && !record.binaryHead) return "binary entry without a site head";
  const tavuSiteInfo* site = tavuFindSite(table, record.hash);
  if (site == nullptr) {
    const std::string args = tavuJoinRawArgs(record.args, 0);
    return tavuFormat("unknown site 0x%08" PRIx32 " line %" PRIu32 ":", record.hash, record.line) +
           (args.empty() ? "" : " " + args);
  }
  const std::string text = tavuWithoutNewline(site->text);
  return binary ? text : tavuFillText(text, record.args);
}

const char* tavuRecordKindName(const tavuTraceRecord& record, const tavuSiteTable& table) {
  if (record.kind == tavuTraceRecord::BINARY) return "binary";
  const tavuSiteInfo* site = tavuFindSite(table, record.hash);
  return site != nullptr ? tavuSiteKindName(site->kind) : "unknown";
}

std::vector<std::string> tavuDatagramStrings(const std::vector<uint8_t>& data) {
  std::vector<std::string> strings;
  const auto* text = reinterpret_cast<const char*>(data.data());
  for (std::size_t at = 0, length = 0; at < data.size(); at += length + 1) {
    length = strnlen(text + at, data.size() - at);
    if (length > 0) strings.emplace_back(text + at, length);
  }
  return strings;
}

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

std::string tavuRenderRecord(const tavuTraceRecord& record, const tavuSiteTable& table) {
  std::string out = tavuEscapeText(tavuRecordText(record, table));
  if (record.kind != tavuTraceRecord::BINARY) return out;
  for (const std::string& text : tavuDatagramStrings(record.data)) {
    out += " \"" + tavuEscapeText(text) + "\"";
  }
  if (!record.data.empty()) out += "\n" + tavuHexDump(record.data);
  return out;
}

std::string tavuRecordJson(const tavuTraceRecord& record, const tavuSiteTable& table) {
  std::string out = "{\"seq\":" + std::to_string(record.seq);
  out += ",\"time\":\"" + tavuUtcTime(record.seconds, record.nanoseconds / 1000) + "\"";
  out += ",\"kind\":\"" + std::string(tavuRecordKindName(record, table)) + "\"";
  out += tavuFormat(",\"hash\":\"0x%08" PRIx32 "\",\"line\":%" PRIu32, record.hash, record.line);
  out += ",\"text\":" + tavuJsonString(tavuRecordText(record, table)) + ",\"args\":[";
  for (std::size_t i = 0; i < record.args.size(); ++i) {
    out += (i == 0 ? "" : ",") + tavuJsonArg(record.args[i]);
  }
  out += "]";
  if (record.kind == tavuTraceRecord::BINARY) out += tavuBinaryMembers(record);
  return out + "}";
}
