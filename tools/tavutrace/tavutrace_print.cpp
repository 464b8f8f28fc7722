#include "tools/tavutrace/tavutrace_print.h"

#include <cinttypes>
#include <initializer_list>
#include <string>

namespace {

void tavuPutLine(std::FILE* out, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), out);
  std::fputc('\n', out);
}

std::string tavuHashHex(uint32_t hash) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08" PRIx32, hash);
  return text;
}

void tavuAppendAll(std::string* text, std::initializer_list<std::string> pieces) {
  for (const std::string& piece : pieces) *text += piece;
}

const char* tavuByteOrderName(bool bigEndian) {
  return bigEndian ? "big-endian" : "little-endian";
}

}  // namespace

void tavuPrintRecords(std::FILE* out, const tavuTraceBuffer& buffer, bool json) {
  for (const tavuTraceRecord& record : buffer.records) {
    if (json) {
      tavuPutLine(out, tavuRecordJson(record));
    } else {
      tavuPutLine(out, tavuFormatUtcTime(record.seconds, record.nanoseconds) + " " +
                           tavuRenderRecord(record));
    }
  }
}

void tavuPrintHeader(std::FILE* out, const tavuTraceBuffer& buffer, bool json) {
  if (json) {
    tavuPutLine(out, "{\"name\":" + tavuJsonString(buffer.name) +
                         ",\"size\":" + std::to_string(buffer.size) + ",\"byteOrder\":\"" +
                         tavuByteOrderName(buffer.bigEndian) +
                         "\",\"build\":" + tavuJsonString(buffer.buildId) +
                         ",\"layoutVersion\":" + std::to_string(buffer.layoutVersion) +
                         ",\"entriesWritten\":" + std::to_string(buffer.entriesWritten) +
                         ",\"entriesHeld\":" + std::to_string(buffer.entriesHeld) + "}");
    return;
  }
  std::fprintf(out, "name:            %s\n", tavuEscapeText(buffer.name).c_str());
  std::fprintf(out, "size:            %" PRIu32 " bytes\n", buffer.size);
  std::fprintf(out, "byte order:      %s\n", tavuByteOrderName(buffer.bigEndian));
  std::fprintf(out, "build:           %s\n", tavuEscapeText(buffer.buildId).c_str());
  std::fprintf(out, "layout version:  %" PRIu32 "\n", buffer.layoutVersion);
  std::fprintf(out, "entries written: %" PRIu32 "\n", buffer.entriesWritten);
  std::fprintf(out, "entries held:    %" PRIu32 "\n", buffer.entriesHeld);
}

void tavuPrintSites(std::FILE* out, bool json) {
  for (const tavuSiteInfo& site : tavuLinkedSites()) {
    const std::string hash = tavuHashHex(site.hash);
    const std::string kind = tavuSiteKindName(site.kind);
    const std::string line = std::to_string(site.line);
    std::string text;
    if (json) {
      tavuAppendAll(&text, {"{\"hash\":\"", hash, "\",\"kind\":\"", kind, "\",\"line\":", line,
                            ",\"format\":", tavuJsonString(site.format),
                            ",\"text\":", tavuJsonString(site.text), "}"});
    } else {
      tavuAppendAll(&text, {hash, "\t", kind, "\t", line, "\t", site.format, "\t",
                            tavuEscapeText(site.text)});
    }
    tavuPutLine(out, text);
  }
}
