#include "tools/tavutrace/site_table.h"

#include <algorithm>
#include <cstring>

#include "daemon/report_site.h"

namespace {

bool tavuParseHex(const char* digits, uint32_t* value) {
  *value = 0;
  for (int i = 0; i < 8; ++i) {
    const char* at = std::strchr("0123456789abcdef", digits[i]);
    if (digits[i] == '\0' || at == nullptr) return false;
    *value = *value << 4 | static_cast<uint32_t>(at - "0123456789abcdef");
  }
  return true;
}

// "K HHHHHHHH LLLLLLLL TEXT", NUL-terminated within `length` bytes.
bool tavuParseRecord(const char* record, std::size_t length, tavuSiteInfo* site) {
  if (length < TAVU_SITE_RECORD_HEAD || std::strchr("mtb", record[0]) == nullptr) return false;
  if (record[1] != ' ' || record[10] != ' ' || record[19] != ' ') return false;
  site->kind = record[0];
  site->text.assign(record + TAVU_SITE_RECORD_HEAD, length - TAVU_SITE_RECORD_HEAD);
  return tavuParseHex(record + 2, &site->hash) && tavuParseHex(record + 11, &site->line);
}

}  // namespace

bool tavuParseSiteRecords(const char* bytes, std::size_t size, tavuSiteTable* table,
                          std::string* error) {
  // The compiler may pad between records with NULs.
  for (std::size_t at = 0; at < size; ++at) {
    if (bytes[at] == '\0') continue;
    const std::size_t length = strnlen(bytes + at, size - at);
    tavuSiteInfo site;
    if (at + length == size || !tavuParseRecord(bytes + at, length, &site)) {
      *error = "damaged site record at offset " + std::to_string(at);
      return false;
    }
    table->sites.push_back(std::move(site));
    at += length;
  }
  std::sort(table->sites.begin(), table->sites.end(),
            [](const tavuSiteInfo& a, const tavuSiteInfo& b) {
              return a.hash != b.hash ? a.hash < b.hash : a.line < b.line;
            });
  return true;
}

const tavuSiteInfo* tavuFindSite(const tavuSiteTable& table, uint32_t hash) {
  const auto found = std::lower_bound(
      table.sites.begin(), table.sites.end(), hash,
      [](const tavuSiteInfo& site, uint32_t wanted) { return site.hash < wanted; });
  return found != table.sites.end() && found->hash == hash ? &*found : nullptr;
}

const char* tavuSiteKindName(char kind) {
  switch (kind) {
    case TAVU_SITE_MESSAGE:
      return "message";
    case TAVU_SITE_TRACE:
      return "trace";
    case TAVU_SITE_BINARY:
      return "binary";
    default:
      return "unknown";
  }
}
