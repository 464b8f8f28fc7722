// Site records: formats derived from texts, hashes, and the records the
// sites leave in the section "tavu_sites".
#include "daemon/report_site.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/support/own_sites.h"

namespace {

std::string formatOf(const char* text) {
  return tavuMakeSite(1, text).format;
}

TEST(ReportSite, FormatIsDerivedFromEveryConversionOfTheText) {
  EXPECT_EQ(formatOf("%s:%s: Exiting, fork failed\n"), " %s,%s");
  EXPECT_EQ(formatOf("%s:%s: setsockopt(SO_RCVBUFFORCE) error, errno=%d\n"), " %s,%s,%d");
  EXPECT_EQ(formatOf("%s:%s: Acknowledge message didn't match sent message, "
                     "signature(exp=0x%x,act=0x%x), serialnum(exp=%d,act=%d), "
                     "length(exp=%d,act=%d)\n"),
            " %s,%s,%x,%x,%d,%d,%d,%d");
  EXPECT_EQ(formatOf("%s:%s: queued %s seq=%d, %d %d %d %d\n"), " %s,%s,%s,%d,%d,%d,%d,%d");
  EXPECT_EQ(formatOf("no conversion at all"), "");
}

TEST(ReportSite, SameTextSameHashAndDifferentTextDifferentHash) {
  constexpr tavuSite a = tavuMakeSite(10, "%s:%s: running\n");
  constexpr tavuSite b = tavuMakeSite(99, "%s:%s: running\n");
  constexpr tavuSite c = tavuMakeSite(10, "%s:%s: running \n");
  static_assert(a.hash == b.hash, "same text, same hash");
  static_assert(a.hash != c.hash, "one byte more changes the hash");
  EXPECT_EQ(a.line, 10u);
  EXPECT_EQ(b.line, 99u);
  // FNV-1a reference values, so that the decoder of another build agrees.
  EXPECT_EQ(tavuHashText(""), 2166136261u);
  EXPECT_EQ(tavuHashText("a"), 0xe40c292cu);
}

TEST(ReportSite, ArgumentsAreCheckedAgainstConversions) {
  using Good = std::tuple<const char*, const char*, int>;
  using Missing = std::tuple<const char*, const char*>;
  using Swapped = std::tuple<const char*, int, const char*>;
  using Wide = std::tuple<const char*, const char*, long long>;
  static_assert(tavuArgsMatch<Good>("%s:%s: x=%d\n"));
  static_assert(!tavuArgsMatch<Missing>("%s:%s: x=%d\n"));
  static_assert(!tavuArgsMatch<Swapped>("%s:%s: x=%d\n"));
  static_assert(!tavuArgsMatch<Wide>("%s:%s: x=%d\n"));
  SUCCEED();
}

TEST(ReportSite, RecordIsKindHashLineAndTextInPlainCharacters) {
  constexpr auto record = tavuMakeSiteRecord(TAVU_SITE_TRACE, 0x1234abcd, "a");
  EXPECT_EQ(std::string(record.text, sizeof record.text),
            std::string("t e40c292c 1234abcd a\0", 22));
}

TEST(ReportSite, SectionHoldsARecordOfEverySiteLinkedIn) {
  const tavuSiteTable& table = tavuOwnSites();
  ASSERT_GT(table.sites.size(), 10u);
  for (const tavuSiteInfo& site : table.sites)
    EXPECT_EQ(site.hash, tavuHashText(site.text.c_str()));
  const tavuSiteInfo* fork = tavuFindSite(table, tavuHashText("%s:%s: Exiting, fork failed\n"));
  ASSERT_NE(fork, nullptr);
  EXPECT_EQ(fork->kind, TAVU_SITE_MESSAGE);
  EXPECT_GT(fork->line, 0u);
}

}  // namespace
