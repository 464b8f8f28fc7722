// libFuzzer target for tavutrace's decoder: a buffer file's bytes, decoded
// and rendered as text and JSON, with and without the texts of its sites.
#include <cstdint>
#include <string>
#include <vector>

#include "trace_decode.h"

// Two sites, of the hashes the seeds' entries carry: a message and a binary entry.
constexpr char TAVU_SITES[] =
    "m 00000001 0000000a %s:%s: %s, %d and %x\n\0b 00000002 0000000b uevent: %s";

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tavuSiteTable tables[2];  // the sites, and none
  std::string error;
  if (tables[0].iv_sites.empty())
    tavuParseSiteRecords(TAVU_SITES, sizeof TAVU_SITES, tables, &error);
  tavuTraceBuffer buffer;
  if (!tavuDecodeTraceBuffer(std::vector<uint8_t>(data, data + size), &buffer, &error)) return 0;
  for (const tavuTraceRecord& record : buffer.iv_records) {
    for (const tavuSiteTable& table : tables)
      (void)(tavuRenderRecord(record, table) + tavuRecordJson(record, table));
  }
  return 0;
}
