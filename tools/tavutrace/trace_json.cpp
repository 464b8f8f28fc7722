// One JSON object per entry, for programs that read the trace.
#include <cinttypes>
#include <cstdio>

#include "tools/tavutrace/trace_decode.h"

namespace {

std::string tavuJsonArg(const tavuTraceArg& arg) {
  if (arg.type == 's') return tavuJsonString(arg.text);
  if (arg.type == 'x') return std::to_string(static_cast<uint32_t>(arg.number));
  return std::to_string(arg.number);
}

std::string tavuHexString(const std::vector<uint8_t>& data) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (const uint8_t byte : data) {
    hex += digits[byte >> 4];
    hex += digits[byte & 15];
  }
  return hex;
}

std::string tavuBinaryMembers(const tavuTraceRecord& record) {
  std::string out = ",\"strings\":[";
  const std::vector<std::string> strings = tavuDatagramStrings(record.data);
  for (std::size_t i = 0; i < strings.size(); ++i) {
    out += (i == 0 ? "" : ",") + tavuJsonString(strings[i]);
  }
  return out + "],\"hex\":\"" + tavuHexString(record.data) + "\"";
}

}  // namespace

std::string tavuJsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x7f) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string tavuRecordJson(const tavuTraceRecord& record) {
  char hash[16];
  std::snprintf(hash, sizeof hash, "0x%08" PRIx32, record.hash);
  std::string out = "{\"seq\":" + std::to_string(record.seq);
  out += ",\"time\":\"" + tavuFormatUtcTime(record.seconds, record.nanoseconds) + "\"";
  out += ",\"kind\":\"" + std::string(tavuRecordKindName(record)) + "\"";
  out += ",\"hash\":\"" + std::string(hash) + "\",\"line\":" + std::to_string(record.line);
  out += ",\"text\":" + tavuJsonString(tavuRecordText(record)) + ",\"args\":[";
  for (std::size_t i = 0; i < record.args.size(); ++i) {
    out += (i == 0 ? "" : ",") + tavuJsonArg(record.args[i]);
  }
  out += "]";
  if (record.kind == tavuTraceRecord::BINARY) out += tavuBinaryMembers(record);
  return out + "}";
}
