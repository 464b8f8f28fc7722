// The table from hash to text, read from the report sites linked into this
// program (the section "tavu_sites" of the daemon's own code).
#include <algorithm>
#include <cstring>

#include "daemon/report_site.h"
#include "tools/tavutrace/trace_decode.h"

namespace {

void tavuCollectSite(const tavuSiteHead* head, const char* text, void* context) {
  auto* sites = static_cast<std::vector<tavuSiteInfo>*>(context);
  tavuSiteInfo site;
  site.hash = head->hash;
  site.kind = head->kind;
  site.line = head->line;
  site.format.assign(head->format, strnlen(head->format, sizeof head->format));
  site.text.assign(text, head->textLength);
  sites->push_back(std::move(site));
}

std::vector<tavuSiteInfo> tavuReadLinkedSites() {
  std::vector<tavuSiteInfo> sites;
  tavuForEachSite(tavuCollectSite, &sites);
  std::sort(sites.begin(), sites.end(), [](const tavuSiteInfo& a, const tavuSiteInfo& b) {
    return a.hash != b.hash ? a.hash < b.hash : a.line < b.line;
  });
  return sites;
}

}  // namespace

const std::vector<tavuSiteInfo>& tavuLinkedSites() {
  static const std::vector<tavuSiteInfo> sites = tavuReadLinkedSites();
  return sites;
}

const tavuSiteInfo* tavuFindSite(uint32_t hash) {
  const std::vector<tavuSiteInfo>& sites = tavuLinkedSites();
  const auto found = std::lower_bound(
      sites.begin(), sites.end(), hash,
      [](const tavuSiteInfo& site, uint32_t wanted) { return site.hash < wanted; });
  return found != sites.end() && found->hash == hash ? &*found : nullptr;
}

const char* tavuSiteKindName(uint16_t kind) {
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

std::string tavuBuildRevision(const std::string& buildId) {
  const std::size_t dash = buildId.rfind('-');
  return dash == std::string::npos ? buildId : buildId.substr(0, dash);
}
