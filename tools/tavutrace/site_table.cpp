#include "trace_decode.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "site_record.h"

namespace {

// "K HHHHHHHH LLLLLLLL TEXT", NUL-terminated.
bool tavuParseRecord(const char* record, tavuSiteInfo* site) {
  int headEnd = 0;
  if (std::sscanf(record, "%c %8" SCNx32 " %8" SCNx32 "%n", &site->iv_kind, &site->iv_hash,
                  &site->iv_line, &headEnd) != 3 ||
      headEnd != static_cast<int>(TAVU_SITE_RECORD_HEAD) - 1 || record[headEnd] != ' ' ||
      std::strchr("mtb", site->iv_kind) == nullptr) {
    return false;
  }
  site->iv_text = record + TAVU_SITE_RECORD_HEAD;
  return true;
}

}  // namespace

bool tavuParseSiteRecords(const char* bytes, std::size_t size, tavuSiteTable* table,
                          std::string* error) {
  // The compiler may pad between records with NULs.
  for (std::size_t at = 0; at < size; ++at) {
    if (bytes[at] == '\0') continue;
    const std::size_t length = strnlen(bytes + at, size - at);
    tavuSiteInfo site;
    if (at + length == size || !tavuParseRecord(bytes + at, &site)) {
      *error = "damaged site record at offset " + std::to_string(at);
      return false;
    }
    table->iv_sites.push_back(std::move(site));
    at += length;
  }
  std::sort(table->iv_sites.begin(), table->iv_sites.end(),
            [](const tavuSiteInfo& a, const tavuSiteInfo& b) {
              return a.iv_hash != b.iv_hash ? a.iv_hash < b.iv_hash : a.iv_line < b.iv_line;
            });
  return true;
}

const tavuSiteInfo* tavuFindSite(const tavuSiteTable& table, uint32_t hash) {
  const auto found = std::lower_bound(
      table.iv_sites.begin(), table.iv_sites.end(), hash,
      [](const tavuSiteInfo& site, uint32_t wanted) { return site.iv_hash < wanted; });
  return found != table.iv_sites.end() && found->iv_hash == hash ? &*found : nullptr;
}

// A kind the table holds: its records were checked.
const char* tavuSiteKindName(char kind) {
  return kind == TAVU_SITE_MESSAGE ? "message" : kind == TAVU_SITE_TRACE ? "trace" : "binary";
}
