#include "tavutrace_print.h"

#include <string>

#include "text_format.h"
#include "trace_render.h"

namespace {

// A text as a JSON string, or escaped onto the line.
std::string tavuShown(const std::string& text, bool json) {
  return json ? tavuJsonString(text) : tavuEscapeText(text);
}

}  // namespace

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
               tavuShown(buffer.name, json).c_str(), buffer.size,
               buffer.bigEndian ? "big-endian" : "little-endian",
               tavuShown(buffer.buildId, json).c_str(), buffer.layoutVersion, buffer.entriesWritten,
               buffer.entriesHeld);
}

void tavuPrintSites(std::FILE* out, const tavuSiteTable& table, bool json) {
  for (const tavuSiteInfo& site : table.sites) {
    std::fprintf(out,
                 json ? "{\"hash\":\"0x%08x\",\"kind\":\"%s\",\"line\":%u,\"text\":%s}\n"
                      : "0x%08x\t%s\t%u\t%s\n",
                 site.hash, tavuSiteKindName(site.kind), site.line,
                 tavuShown(site.text, json).c_str());
  }
}
