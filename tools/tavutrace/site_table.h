// The report-site table of one daemon build: what the records of its
// section "tavu_sites" say (see daemon/report_site.h) and its build id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct tavuSiteInfo {
  uint32_t hash = 0;
  uint32_t line = 0;
  char kind = 0;  // 'm' message, 't' trace, 'b' binary
  std::string text;
};

struct tavuSiteTable {
  std::vector<tavuSiteInfo> sites;  // by hash, then line
  std::string buildId;              // empty when the binary names none
};

// Reads the records of a "tavu_sites" section's bytes into table->sites.
// Returns false with `error` at the first damaged record.
bool tavuParseSiteRecords(const char* bytes, std::size_t size, tavuSiteTable* table,
                          std::string* error);

const tavuSiteInfo* tavuFindSite(const tavuSiteTable& table, uint32_t hash);

// "message", "trace", "binary" or "unknown".
const char* tavuSiteKindName(char kind);
