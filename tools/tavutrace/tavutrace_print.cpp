#include "tools/tavutrace/tavutrace_print.h"

#include <cinttypes>
#include <string>

#include "tools/common/text_format.h"
#include "tools/tavutrace/trace_render.h"

void tavuPrintRecords(std::FILE* out, const tavuTraceBuffer& buffer, const tavuSiteTable& table,
                      bool json) {
  for (const tavuTraceRecord& record : buffer.records) {
    const std::string line = json ? tavuRecordJson(record, table)
                                  : tavuUtcTime(record.seconds, record.nanoseconds / 1000) + " " +
                                        tavuRenderRecord(record, table);
    std::fprintf(out, "%s\n", line.c_str());
  }
}

void tavuPrintHeader(std::FILE* out, const tavuTraceBuffer& buffer, bool json) {
  const auto shown = [json](const std::string& text) {
    return json ? tavuJsonString(text) : tavuEscapeText(text);
  };
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
               shown(buffer.name).c_str(), buffer.size,
               buffer.bigEndian ? "big-endian" : "little-endian", shown(buffer.buildId).c_str(),
               buffer.layoutVersion, buffer.entriesWritten, buffer.entriesHeld);
}

void tavuPrintSites(std::FILE* out, const tavuSiteTable& table, bool json) {
  for (const tavuSiteInfo& site : table.sites) {
    const char* kind = tavuSiteKindName(site.kind);
    if (json) {
      std::fprintf(
          out, "{\"hash\":\"0x%08" PRIx32 "\",\"kind\":\"%s\",\"line\":%" PRIu32 ",\"text\":%s}\n",
          site.hash, kind, site.line, tavuJsonString(site.text).c_str());
    } else {
      std::fprintf(out, "0x%08" PRIx32 "\t%s\t%" PRIu32 "\t%s\n", site.hash, kind, site.line,
                   tavuEscapeText(site.text).c_str());
    }
  }
}
