// One JSON object per entry, for programs that read the trace.
#include <cinttypes>
#include <cstdio>

#include "tools/common/text_format.h"
#include "tools/tavutrace/trace_render.h"

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
