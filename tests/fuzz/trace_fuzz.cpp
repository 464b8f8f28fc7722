// libFuzzer target for tavutrace's decoder: a buffer file's bytes, read and
// decoded, then printed as tavutrace prints them (entries as text and JSON,
// the header, the status), with and without the texts of its sites.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "trace_buffer_format.h"
#include "trace_decode.h"

// Two sites, of the hashes the seeds' entries carry: a message and a binary entry.
constexpr char TAVU_SITES[] =
    "m 00000001 0000000a %s:%s: %s, %d and %x\n\0b 00000002 0000000b uevent: %s";

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tavuSiteTable tables[2];  // the sites, and none
  static std::FILE* const sink = std::fopen("/dev/null", "w");
  static const int file = memfd_create("buffer", 0);
  std::string error;
  if (tables[0].iv_sites.empty())
    tavuParseSiteRecords(TAVU_SITES, sizeof TAVU_SITES, tables, &error);
  // An even generation, or the reader waits for a writer that is not there.
  std::vector<uint8_t> bytes(data, data + size);
  const std::size_t at = offsetof(tavuTraceFileHeader, generation);
  if (size >= at + sizeof(uint32_t)) std::fill_n(&bytes[at], sizeof(uint32_t), 0);
  if (ftruncate(file, 0) != 0 || pwrite(file, bytes.data(), size, 0) != static_cast<ssize_t>(size))
    std::abort();
  tavuTraceBuffer buffer;
  if (!tavuReadTraceBufferFile("/proc/self/fd/" + std::to_string(file), &buffer, &error)) return 0;
  tavuPrintHeader(sink, buffer, true);
  for (const tavuSiteTable& table : tables) {
    tavuPrintRecords(sink, buffer, table, false);
    tavuPrintRecords(sink, buffer, table, true);
    tavuPrintStatus(sink, buffer, table);
  }
  return 0;
}
