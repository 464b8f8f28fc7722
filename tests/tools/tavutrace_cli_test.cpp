// The tavutrace program as a user meets it: help, usage errors, exit
// codes, the text and JSON output, the header, damaged and foreign buffers.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/report_site.h"
#include "platform/trace_buffer_format.h"
#include "platform/trace_kelu.h"
#include "tests/platform/trace_test_dir.h"
#include "tests/support/test_support.h"
#include "tests/tools/json_check.h"

namespace {

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(TavutraceCli, HelpDescribesUsageAndExitCodes) {
  for (const char* option : {"--help", "-h"}) {
    const tavuProgramRun run = tavuRunBuilt("tavutrace", {option});
    EXPECT_EQ(run.status, 0) << option;
    EXPECT_EQ(run.out.rfind("Usage: tavutrace", 0), 0u) << run.out;
    EXPECT_TRUE(contains(run.out, "Exit status"));
    EXPECT_EQ(run.err, "");
  }
}

TEST(TavutraceCli, BadUsageEndsWithStatusTwo) {
  const std::vector<std::vector<std::string>> cases = {{"--bogus"},
                                                       {"-x"},
                                                       {"one", "two"},
                                                       {"--list-sites", "TAVUNL"},
                                                       {"--list-sites", "--header"}};
  for (const std::vector<std::string>& args : cases) {
    SCOPED_TRACE(args.front());
    const tavuProgramRun run = tavuRunBuilt("tavutrace", args);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(contains(run.err, "try --help")) << run.err;
  }
  EXPECT_TRUE(contains(tavuRunBuilt("tavutrace", {"--bogus"}).err, "'--bogus'"));
}

TEST(TavutraceCli, UnreadableOrForeignFilesEndWithStatusThree) {
  tavuScopedTraceDir dir;
  ASSERT_TRUE(tavuWriteBytes(dir.file("text"), {'h', 'e', 'l', 'l', 'o'}));
  ASSERT_TRUE(tavuWriteBytes(dir.file("zeros"), std::vector<uint8_t>(4096, 0)));
  const struct {
    std::string path;
    const char* says;
  } cases[] = {
      {dir.file("missing"), "No such file"},
      {dir.file("text"), "too short"},
      {dir.file("zeros"), "not a trace buffer"},
      {dir.path(), "cannot read"},
  };
  for (const auto& c : cases) {
    const tavuProgramRun run = tavuRunBuilt("tavutrace", {c.path});
    EXPECT_EQ(run.status, 3) << c.path;
    EXPECT_TRUE(contains(run.err, c.says)) << run.err;
    EXPECT_TRUE(contains(run.err, c.path)) << run.err;
  }
}

// Three entries the tool must know how to show: a daemon message, an
// unknown site with numbers, and a binary entry.
void writeKnownEntries(trace_kelu_desc_t desc) {
  trace_kelu_write_all(desc, tavuHashText("%s:%s: Exiting, fork failed\n"), " %s,%s", 31, 0,
                       "tavunetlink", "main");
  trace_kelu_write_all(desc, 0x0badf00d, " %s,%d,%x", 77, 0, "xyz", -5, 0xdeadbeefu);
  const uint16_t halves[2] = {4, 0x4644};
  const uint32_t words[2] = {1, 2};
  uint8_t head[12];
  std::memcpy(head, halves, sizeof halves);
  std::memcpy(head + 4, words, sizeof words);
  trace_kelu_write2(desc, 0, sizeof head, head, 4, "k=v");
}

const std::regex& timePrefix() {
  static const std::regex pattern(
      "^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}Z ");
  return pattern;
}

TEST(TavutraceCli, PrintsOneLinePerEntryOldestFirst) {
  tavuScopedTraceDir dir;
  writeKnownEntries(tavuMakeTestBuffer("TAVUNL", 32000));
  const tavuProgramRun byDefault = tavuRunBuilt("tavutrace", {});
  EXPECT_EQ(byDefault.status, 0) << byDefault.err;
  EXPECT_EQ(byDefault.err, "");
  const std::vector<std::string> lines = tavuSplitLines(byDefault.out);
  ASSERT_EQ(lines.size(), 4u) << byDefault.out;
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_TRUE(std::regex_search(lines[i], timePrefix())) << lines[i];
  const std::size_t textAt = lines[0].find(' ') + 1;
  EXPECT_EQ(lines[0].substr(textAt), "tavunetlink:main: Exiting, fork failed");
  EXPECT_EQ(lines[1].substr(textAt), "unknown site 0x0badf00d line 77: \"xyz\", -5, 0xdeadbeef");
  EXPECT_EQ(lines[2].substr(textAt), "unknown site 0x00000001 line 2: \"k=v\"");
  EXPECT_EQ(lines[3], "    0000  6b 3d 76 00                                       |k=v.|");
  // By name and by path: the same buffer.
  EXPECT_EQ(tavuRunBuilt("tavutrace", {"TAVUNL"}).out, byDefault.out);
  EXPECT_EQ(tavuRunBuilt("tavutrace", {dir.file("TAVUNL")}).out, byDefault.out);
  // A word without "/" that names a file here is that file, not a buffer name.
  ASSERT_TRUE(tavuWriteBytes(dir.file("copy.buf"), tavuReadBytes(dir.file("TAVUNL"))));
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  const tavuProgramRun relative = tavuRunBuilt("tavutrace", {"copy.buf"});
  ASSERT_EQ(chdir(here), 0);
  EXPECT_EQ(relative.status, 0) << relative.err;
  EXPECT_EQ(relative.out, byDefault.out);
}

TEST(TavutraceCli, JsonLinesAreObjectsWithEveryField) {
  tavuScopedTraceDir dir;
  writeKnownEntries(tavuMakeTestBuffer("JSON", 32000));
  const tavuProgramRun run = tavuRunBuilt("tavutrace", {"--json", "JSON"});
  EXPECT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> lines = tavuSplitLines(run.out);
  ASSERT_EQ(lines.size(), 3u);
  for (const std::string& line : lines) {
    std::map<std::string, char> members;
    ASSERT_TRUE(tavuParseJsonObject(line, &members)) << line;
    for (const char* key : {"seq", "time", "kind", "hash", "line", "text", "args"}) {
      EXPECT_EQ(members.count(key), 1u) << key << " missing in " << line;
    }
  }
  EXPECT_TRUE(contains(lines[0], "\"kind\":\"message\""));
  EXPECT_TRUE(contains(lines[1], "\"args\":[\"xyz\",-5,3735928559]"));
  EXPECT_TRUE(contains(lines[2], "\"strings\":[\"k=v\"],\"hex\":\"6b3d7600\""));
  EXPECT_FALSE(tavuParseJsonObject("{\"a\":1,}", nullptr));  // the checker itself is strict
}

TEST(TavutraceCli, HeaderTellsNameSizeOrderBuildAndCount) {
  tavuScopedTraceDir dir;
  writeKnownEntries(tavuMakeTestBuffer("HEAD", 4096));
  const tavuProgramRun text = tavuRunBuilt("tavutrace", {"--header", "HEAD"});
  EXPECT_EQ(text.status, 0);
  const bool big = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
  EXPECT_TRUE(contains(text.out, "name:            HEAD\n")) << text.out;
  EXPECT_TRUE(contains(text.out, "size:            4096 bytes\n"));
  EXPECT_TRUE(contains(text.out,
                       big ? "byte order:      big-endian\n" : "byte order:      little-endian\n"));
  EXPECT_TRUE(contains(text.out, "build:           " TAVU_BUILD_ID "\n"));
  EXPECT_TRUE(contains(text.out, "entries written: 3\n"));
  const tavuProgramRun json = tavuRunBuilt("tavutrace", {"--header", "--json", "HEAD"});
  std::map<std::string, char> members;
  EXPECT_TRUE(tavuParseJsonObject(tavuSplitLines(json.out).at(0), &members)) << json.out;
  EXPECT_EQ(members.size(), 7u);
}

TEST(TavutraceCli, DamageGivesAPartialDecodeWithStatusOne) {
  tavuScopedTraceDir dir;
  writeKnownEntries(tavuMakeTestBuffer("WHOLE", 4096));
  std::vector<uint8_t> image = tavuReadBytes(dir.file("WHOLE"));
  // The first entry survives the cut, the others do not.
  image.resize(TAVU_TRACE_HEADER_SIZE + 80);
  ASSERT_TRUE(tavuWriteBytes(dir.file("cut"), image));
  const tavuProgramRun run = tavuRunBuilt("tavutrace", {dir.file("cut")});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(contains(run.err, "truncated")) << run.err;
  EXPECT_EQ(tavuSplitLines(run.out).size(), 1u) << run.out;
  EXPECT_TRUE(contains(run.out, "Exiting, fork failed"));

  image.resize(60);
  ASSERT_TRUE(tavuWriteBytes(dir.file("stub"), image));
  const tavuProgramRun stub = tavuRunBuilt("tavutrace", {dir.file("stub")});
  EXPECT_EQ(stub.status, 3);
  EXPECT_TRUE(contains(stub.err, "too short")) << stub.err;
}

TEST(TavutraceCli, AnotherBuildIsWarnedAboutButDecoded) {
  tavuScopedTraceDir dir;
  writeKnownEntries(tavuMakeTestBuffer("OTHER", 4096));
  std::vector<uint8_t> image = tavuReadBytes(dir.file("OTHER"));
  const std::string other = "feedface-x86_64";
  std::copy(other.begin(), other.end() + 1, image.begin() + offsetof(tavuTraceFileHeader, buildId));
  ASSERT_TRUE(tavuWriteBytes(dir.file("OTHER"), image));
  const tavuProgramRun run = tavuRunBuilt("tavutrace", {"OTHER"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(tavuSplitLines(run.out).size(), 4u);
  EXPECT_EQ(tavuSplitLines(run.err).size(), 1u) << run.err;
  EXPECT_TRUE(contains(run.err, "warning")) << run.err;
  EXPECT_TRUE(contains(run.err, "feedface")) << run.err;
}

TEST(TavutraceCli, ListSitesShowsTheLinkedTable) {
  const tavuProgramRun text = tavuRunBuilt("tavutrace", {"--list-sites"});
  EXPECT_EQ(text.status, 0);
  const std::vector<std::string> lines = tavuSplitLines(text.out);
  ASSERT_GT(lines.size(), 10u);
  for (const std::string& line : lines)
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 4) << line;
  EXPECT_TRUE(contains(text.out, "\tmessage\t")) << text.out;
  EXPECT_TRUE(contains(text.out, "\t %s,%s\t%s:%s: Exiting, fork failed\\n\n"));
  const tavuProgramRun json = tavuRunBuilt("tavutrace", {"--list-sites", "--json"});
  EXPECT_EQ(json.status, 0);
  const std::vector<std::string> objects = tavuSplitLines(json.out);
  EXPECT_EQ(objects.size(), lines.size());
  for (const std::string& line : objects) EXPECT_TRUE(tavuParseJsonObject(line, nullptr)) << line;
}

}  // namespace
