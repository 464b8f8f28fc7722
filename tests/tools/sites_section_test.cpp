// Every site record in the daemon binary's "tavu_sites" section (cut out
// by objcopy) is in the table of tavutrace --list-sites, so every entry the
// daemon can write decodes.
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/report_site.h"
#include "tests/platform/trace_test_dir.h"
#include "tests/support/test_support.h"
#include "tools/tavutrace/trace_decode.h"

namespace {

// A record as --list-sites prints it. The section comes from a program of
// this same build, so its words are in this program's byte order.
std::string listLine(const tavuSiteHead& head, const char* text) {
  char hash[16];
  std::snprintf(hash, sizeof hash, "0x%08x", head.hash);
  return std::string(hash) + "\t" + tavuSiteKindName(head.kind) + "\t" + std::to_string(head.line) +
         "\t" + std::string(head.format, strnlen(head.format, sizeof head.format)) + "\t" +
         tavuEscapeText(std::string(text, head.textLength));
}

// Walks the section as tavuForEachSite walks the linked one: by the magic word.
std::vector<std::string> sectionRecords(const std::vector<uint8_t>& section) {
  std::vector<std::string> records;
  std::size_t at = 0;
  while (at + sizeof(tavuSiteHead) <= section.size()) {
    tavuSiteHead head;
    std::memcpy(&head, &section[at], sizeof head);
    if (head.magic != TAVU_SITE_MAGIC) {
      at += 4;
      continue;
    }
    EXPECT_GE(head.size, sizeof head + head.textLength) << "record at " << at;
    if (head.size < sizeof head + head.textLength || at + head.size > section.size()) break;
    records.push_back(listLine(head, reinterpret_cast<const char*>(&section[at + sizeof head])));
    at += head.size;
  }
  return records;
}

TEST(SitesSection, EveryDaemonSiteIsInTheDecodersTable) {
  const char* path = std::getenv("TAVU_SITES_SECTION");
  ASSERT_NE(path, nullptr) << "TAVU_SITES_SECTION names the section cut out of the daemon";
  const std::vector<uint8_t> section = tavuReadBytes(path);
  ASSERT_FALSE(section.empty()) << path << " is empty or missing";
  const std::vector<std::string> daemonSites = sectionRecords(section);
  ASSERT_GT(daemonSites.size(), 10u);

  const tavuProgramRun run = tavuRunBuilt("tavutrace", {"--list-sites"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> lines = tavuSplitLines(run.out);
  const std::set<std::string> table(lines.begin(), lines.end());
  bool sawFork = false;
  for (const std::string& site : daemonSites) {
    EXPECT_EQ(table.count(site), 1u) << "not in tavutrace's table: " << site;
    sawFork = sawFork || site.find("Exiting, fork failed") != std::string::npos;
  }
  EXPECT_TRUE(sawFork) << "the daemon's start-up sites are missing from its section";
}

}  // namespace
