// Site records: formats derived from texts, hashes, and the linked table.
#include "daemon/report_site.h"

#include <cstring>
#include <map>
#include <string>

#include <gtest/gtest.h>

namespace {

template <std::size_t N>
std::string formatOf(const char (&text)[N]) {
  return tavuMakeSiteRecord(TAVU_SITE_MESSAGE, 1, text).head.format;
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
  constexpr auto a = tavuMakeSiteRecord(TAVU_SITE_TRACE, 10, "%s:%s: running\n");
  constexpr auto b = tavuMakeSiteRecord(TAVU_SITE_TRACE, 99, "%s:%s: running\n");
  constexpr auto c = tavuMakeSiteRecord(TAVU_SITE_TRACE, 10, "%s:%s: running \n");
  static_assert(a.head.hash == b.head.hash, "same text, same hash");
  static_assert(a.head.hash != c.head.hash, "one byte more changes the hash");
  EXPECT_EQ(a.head.line, 10u);
  EXPECT_EQ(b.head.line, 99u);
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

void collect(const tavuSiteHead* head, const char* text, void* context) {
  auto* sites = static_cast<std::multimap<std::string, const tavuSiteHead*>*>(context);
  EXPECT_EQ(std::strlen(text), head->textLength);
  EXPECT_EQ(head->hash, tavuHashText(text));
  sites->emplace(text, head);
}

TEST(ReportSite, LinkedTableHoldsTheDaemonsSites) {
  std::multimap<std::string, const tavuSiteHead*> sites;
  const std::size_t count = tavuForEachSite(collect, &sites);
  EXPECT_EQ(count, sites.size());
  ASSERT_EQ(sites.count("%s:%s: Exiting, fork failed\n"), 1u);
  const tavuSiteHead* fork = sites.find("%s:%s: Exiting, fork failed\n")->second;
  EXPECT_EQ(fork->kind, TAVU_SITE_MESSAGE);
  EXPECT_STREQ(fork->format, " %s,%s");
  EXPECT_GT(fork->line, 0u);
}

}  // namespace
