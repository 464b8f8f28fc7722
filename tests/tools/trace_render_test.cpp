// Rendering entries: arguments into texts, unknown sites, binary entries,
// times, escapes, JSON, and every report site of the daemon.
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/report_site.h"
#include "tests/platform/trace_test_dir.h"
#include "tests/support/own_sites.h"
#include "tools/common/text_format.h"
#include "tools/tavutrace/trace_render.h"

namespace {

const auto S = tavuTextArg;
const auto N = tavuNumberArg;
const tavuSiteTable kNoSites;

tavuTraceRecord argsRecord(uint32_t hash, uint32_t line, std::vector<tavuTraceArg> args) {
  tavuTraceRecord record;
  record.hash = hash;
  record.line = line;
  record.args = std::move(args);
  return record;
}

tavuTraceRecord binaryRecord(uint32_t hash, std::vector<uint8_t> data) {
  tavuTraceRecord record;
  record.kind = tavuTraceRecord::BINARY;
  record.binaryHead = true;
  record.binaryTag = 0x4644;
  record.hash = hash;
  record.line = 5;
  record.data = std::move(data);
  return record;
}

TEST(TraceRender, ArgumentsFillTheirConversions) {
  const struct {
    const char* text;
    std::vector<tavuTraceArg> args;
    const char* expected;
  } cases[] = {
      {"%s:%s: x=%d\n", {S("tavunetlink"), S("main"), N('d', -5)}, "tavunetlink:main: x=-5\n"},
      {"v=0x%x", {N('x', 0xDEADBEEF)}, "v=0xdeadbeef"},
      {"v=0x%x", {N('d', 0xFFFFFFFF)}, "v=0xffffffff"},
      {"%d", {N('x', 0xFFFFFFFF)}, "-1"},
      {"%d", {N('d', 0x80000000)}, "-2147483648"},
      {"%d%%", {N('d', 50)}, "50%"},
      {"%s %s", {S("a")}, "a <missing>"},
      {"%d", {N('d', 1), N('x', 2), S("z")}, "1 [more: 0x2, \"z\"]"},
      {"%d", {S("text")}, "text"},
      {"trailing %", {}, "trailing %"},
      {"%s", {S("50% %d")}, "50% %d"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tavuFillText(c.text, c.args), c.expected) << c.text;
  }
}

TEST(TraceRender, UnknownSitesShowTheirRawArguments) {
  EXPECT_EQ(tavuRecordText(argsRecord(0x0badf00d, 7, {S("a"), N('d', -2), N('x', 31)}), kNoSites),
            "unknown site 0x0badf00d line 7: \"a\", -2, 0x1f");
  EXPECT_EQ(tavuRecordText(argsRecord(0x0badf00d, 7, {}), kNoSites),
            "unknown site 0x0badf00d line 7:");
  EXPECT_STREQ(tavuRecordKindName(argsRecord(0x0badf00d, 7, {}), kNoSites), "unknown");
  const tavuTraceRecord binary = binaryRecord(0x0badf00d, {'k', '=', 'v', 0});
  EXPECT_EQ(tavuRenderRecord(binary, kNoSites),
            "unknown site 0x0badf00d line 5: \"k=v\"\n"
            "    0000  6b 3d 76 00                                       |k=v.|");
  tavuTraceRecord headless = binaryRecord(0, {'x'});
  headless.binaryHead = false;
  EXPECT_EQ(tavuRecordText(headless, kNoSites), "binary entry without a site head");
}

TEST(TraceRender, BinaryDataShowsItsStringsAndAHexDump) {
  const struct {
    std::vector<uint8_t> data;
    std::vector<std::string> strings;
  } cases[] = {
      {{'a', 0, 0, 'b', 0}, {"a", "b"}},
      {{'a', 'b'}, {"ab"}},
      {{0, 0}, {}},
      {{}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(tavuDatagramStrings(c.data), c.strings);

  const std::string text = "ABCDEFGHIJKLMNOPQR";
  EXPECT_EQ(tavuHexDump(std::vector<uint8_t>(text.begin(), text.end())),
            "    0000  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  |ABCDEFGHIJKLMNOP|\n"
            "    0010  51 52                                             |QR|");
  EXPECT_EQ(tavuHexDump({}), "");
}

TEST(TextFormat, TimesAreUtcToTheMicrosecondOrTheSecond) {
  const struct {
    int64_t seconds;
    uint32_t nanoseconds;
    const char* expected;
  } cases[] = {
      {0, 0, "1970-01-01T00:00:00.000000Z"},
      {951782400, 0, "2000-02-29T00:00:00.000000Z"},
      {1709251199, 999999999, "2024-02-29T23:59:59.999999Z"},
      {-1, 500000, "1969-12-31T23:59:59.000500Z"},
      {-86400, 0, "1969-12-31T00:00:00.000000Z"},
      {4102444800, 0, "2100-01-01T00:00:00.000000Z"},
      {253402300799, 1000, "9999-12-31T23:59:59.000001Z"},
      {INT64_MAX, 0, "@9223372036854775807"},
      {INT64_MIN, 0, "@-9223372036854775808"},
  };
  for (const auto& c : cases) EXPECT_EQ(tavuUtcTime(c.seconds, c.nanoseconds / 1000), c.expected);
  EXPECT_EQ(tavuUtcTime(1769860800), "2026-01-31T12:00:00Z");
}

TEST(TextFormat, EscapesKeepOutputOnOneLineAndWordsApart) {
  const struct {
    std::string raw;
    const char* text;
    const char* word;
    const char* json;
  } cases[] = {
      {"plain", "plain", "plain", "\"plain\""},
      {"a\nb", "a\\nb", "a\\x0ab", "\"a\\u000ab\""},
      {"\t\r", "\\t\\r", "\\x09\\x0d", "\"\\u0009\\u000d\""},
      {"back\\slash \"q\"", "back\\\\slash \"q\"", "back\\x5cslash\\x20\"q\"",
       "\"back\\\\slash \\\"q\\\"\""},
      {std::string("\x01\x7f\xc3\xa9", 4), "\\x01\\x7f\\xc3\\xa9", "\\x01\\x7f\\xc3\\xa9",
       "\"\\u0001\\u007f\\u00c3\\u00a9\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tavuEscapeText(c.raw), c.text);
    EXPECT_EQ(tavuEscapeText(c.raw, true), c.word);
    EXPECT_EQ(tavuJsonString(c.raw), c.json);
  }
}

TEST(TraceRender, JsonHoldsEveryFieldOfAnEntry) {
  tavuTraceRecord record = argsRecord(0x0badf00d, 9, {S("a\"b"), N('d', -3), N('x', 0xFFFFFFFF)});
  record.seq = 17;
  record.seconds = 0;
  record.nanoseconds = 1000;
  EXPECT_EQ(tavuRecordJson(record, kNoSites),
            "{\"seq\":17,\"time\":\"1970-01-01T00:00:00.000001Z\",\"kind\":\"unknown\","
            "\"hash\":\"0x0badf00d\",\"line\":9,"
            "\"text\":\"unknown site 0x0badf00d line 9: \\\"a\\\"b\\\", -3, 0xffffffff\","
            "\"args\":[\"a\\\"b\",-3,4294967295]}");
  EXPECT_EQ(tavuRecordJson(binaryRecord(1, {'x', 0, 0xff}), kNoSites),
            "{\"seq\":0,\"time\":\"1970-01-01T00:00:00.000000Z\",\"kind\":\"binary\","
            "\"hash\":\"0x00000001\",\"line\":5,\"text\":\"unknown site 0x00000001 line 5:\","
            "\"args\":[],\"strings\":[\"x\",\"\\u00ff\"],\"hex\":\"7800ff\"}");
}

// Dummy arguments of the types a format names, and how each must show.
std::vector<tavuTraceArg> dummyArgs(const std::string& format, std::vector<std::string>* shown) {
  std::vector<tavuTraceArg> args;
  for (std::size_t i = 0; i + 1 < format.size(); ++i) {
    if (format[i] != '%') continue;
    const char type = format[i + 1];
    const auto n = static_cast<uint32_t>(args.size());
    if (type == 's') {
      args.push_back(S("S" + std::to_string(n) + "_"));
      shown->push_back(args.back().text);
    } else if (type == 'd') {
      args.push_back(N('d', static_cast<uint32_t>(-7 * static_cast<int32_t>(n + 1))));
      shown->push_back(std::to_string(args.back().number));
    } else {
      args.push_back(N('x', 0xABC00 + n));
      char hex[16];
      std::snprintf(hex, sizeof hex, "%x", 0xABC00 + n);
      shown->push_back(hex);
    }
  }
  return args;
}

TEST(TraceRender, EverySiteOfTheDaemonDecodes) {
  const std::vector<tavuSiteInfo>& sites = tavuOwnSites().sites;
  ASSERT_GT(sites.size(), 10u);
  const tavuSiteInfo* fork =
      tavuFindSite(tavuOwnSites(), tavuHashText("%s:%s: Exiting, fork failed\n"));
  ASSERT_NE(fork, nullptr) << "the daemon's sites are not in the table";
  std::map<uint32_t, std::string> textOf;
  for (const tavuSiteInfo& site : sites) {
    SCOPED_TRACE(site.text);
    // The table is keyed by hash: one hash, one text.
    const auto known = textOf.emplace(site.hash, site.text);
    EXPECT_EQ(known.first->second, site.text) << "hash collision";
    if (site.kind == TAVU_SITE_BINARY) {
      const std::string rendered =
          tavuRenderRecord(binaryRecord(site.hash, {'K', '=', 'V', 0}), tavuOwnSites());
      EXPECT_EQ(rendered.find(site.text), 0u);
      EXPECT_NE(rendered.find("\"K=V\""), std::string::npos);
      continue;
    }
    std::vector<std::string> shown;
    const std::string format = tavuMakeSite(site.line, site.text.c_str()).format;
    const tavuTraceRecord record = argsRecord(site.hash, site.line, dummyArgs(format, &shown));
    const std::string rendered = tavuRenderRecord(record, tavuOwnSites());
    EXPECT_EQ(rendered.find("unknown site"), std::string::npos);
    EXPECT_EQ(rendered.find("<missing>"), std::string::npos);
    EXPECT_EQ(rendered.find("[more:"), std::string::npos);
    EXPECT_EQ(rendered.find('\n'), std::string::npos);
    std::size_t from = 0;
    for (const std::string& piece : shown) {
      const std::size_t at = rendered.find(piece, from);
      ASSERT_NE(at, std::string::npos) << piece << " not in order in: " << rendered;
      from = at + piece.size();
    }
  }
}

}  // namespace
