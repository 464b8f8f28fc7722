#include "tools/tavutrace/tavutrace_print.h"

#include <cinttypes>
#include <string>

#include "tools/common/text_format.h"
#include "tools/tavutrace/trace_render.h"

namespace {

void tavuPutLine(std::FILE* out, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), out);
  std::fputc('\n', out);
}

const char* tavuByteOrderName(bool bigEndian) {
  return bigEndian ? "big-endian" : "little-endian";
}

}  // namespace

void tavuPrintRecords(std::FILE* out, const tavuTraceBuffer& buffer, const tavuSiteTable& table,
                      bool json) {
  for (const tavuTraceRecord& record : buffer.records) {
    if (json) {
      tavuPutLine(out, tavuRecordJson(record, table));
    } else {
      tavuPutLine(out, tavuUtcTime(record.seconds, record.nanoseconds / 1000) + " " +
                           tavuRenderRecord(record, table));
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
