// tavuinject's input, in-process: the event file, counters, raw bytes, the
// command line and the namespace check.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"
#include "tools/tavuinject/inject_options.h"
#include "tools/tavuinject/inject_plan.h"
#include "tools/tavuinject/netns_check.h"
#include "tools/tavuinject/raw_bytes.h"
#include "tools/tavuinject/uevent_file.h"
#include "tools/tavuinject/uevent_template.h"

namespace {

using namespace std::string_literals;

struct FileCase {
  const char* name;
  std::string text;
  std::vector<std::string> datagrams;  // counter 0, final NUL kept
  const char* error;                   // when the file is refused: part of the message
};

const FileCase kFileCases[] = {
    {"HeaderMadeFromActionAndDevpath",
     "ACTION=add\nDEVPATH=/class/uart/ttyS1\nSUBSYSTEM=uart\nSEQNUM=1\nMAJOR=4\nMINOR=65\n",
     {"add@/class/uart/ttyS1\0ACTION=add\0DEVPATH=/class/uart/ttyS1\0SUBSYSTEM=uart\0"
      "SEQNUM=1\0MAJOR=4\0MINOR=65\0"s},
     nullptr},
    {"BlocksCommentsAndCrLf",
     "# two events\r\n\r\nACTION=add\r\n  # inside\r\nDEVPATH=/a\r\n \t\r\n\n"
     "ACTION=remove\nDEVPATH=/b\n# trailing comment",
     {"add@/a\0ACTION=add\0DEVPATH=/a\0"s, "remove@/b\0ACTION=remove\0DEVPATH=/b\0"s},
     nullptr},
    {"GivenAndNoHeader",
     "@header change@/odd\nACTION=change\n\n@noheader\nDEVPATH=/x\n",
     {"change@/odd\0ACTION=change\0"s, "DEVPATH=/x\0"s},
     nullptr},
    {"ValuesTakenAsWritten",
     "ACTION=add\nDEVPATH=/p q\nA=b=c\nEMPTY=\ndevpath=lower\n",
     {"add@/p q\0ACTION=add\0DEVPATH=/p q\0A=b=c\0EMPTY=\0devpath=lower\0"s},
     nullptr},
    {"LastActionMakesTheHeader",
     "ACTION=add\nACTION=remove\nDEVPATH=/d\n",
     {"remove@/d\0ACTION=add\0ACTION=remove\0DEVPATH=/d\0"s},
     nullptr},
    {"NoDevpathForTheHeader",
     "ACTION=add\nSUBSYSTEM=uart\n",
     {},
     "ev.txt:1: event has no ACTION= and DEVPATH="},
    {"SecondEventLacksAction",
     "ACTION=add\nDEVPATH=/a\n\n\nDEVPATH=/b\n",
     {},
     "ev.txt:5: event has no ACTION="},
    {"LineWithoutEquals", "ACTION=add\nDEVPATH=/a\nGARBAGE\n", {}, "ev.txt:3: expected KEY=VALUE"},
    {"KeyWithABlank", "BAD KEY=1\n", {}, "ev.txt:1: 'BAD KEY' is not a key"},
    {"EmptyKey", "=value\n", {}, "ev.txt:1: '' is not a key"},
    {"UnknownDirective", "@hdr x\n", {}, "ev.txt:1: unknown line '@hdr x'"},
    {"TwoHeaderLines", "@noheader\n@header a@b\nX=1\n", {}, "ev.txt:2: a second header line"},
    {"HeaderAloneIsAnEvent", "@header add@/only\n", {"add@/only\0"s}, nullptr},
    {"NothingButComments", "# nothing\n\n", {}, "ev.txt: no event in it"},
};

class EventFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(EventFile, ParsesIntoTheDatagramsOrSaysWhereItIsWrong) {
  const FileCase& c = GetParam();
  std::vector<tavuUeventTemplate> events;
  std::string error;
  const bool parsed = tavuParseUeventFile(c.text, "ev.txt", &events, &error);
  if (c.error != nullptr) {
    EXPECT_FALSE(parsed);
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    return;
  }
  ASSERT_TRUE(parsed) << error;
  std::vector<std::string> datagrams;
  datagrams.reserve(events.size());
  for (const auto& event : events) datagrams.push_back(tavuBuildDatagram(event, 0, true));
  EXPECT_EQ(datagrams, c.datagrams);
}

INSTANTIATE_TEST_SUITE_P(Cases, EventFile, ::testing::ValuesIn(kFileCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EventTemplate, CounterReplacesEveryMarkInValuesAndHeader) {
  const struct {
    const char* text;
    uint64_t counter;
    const char* expected;
  } cases[] = {
      {"ttyS{n}", 7, "ttyS7"},
      {"{n}-{n}", 12, "12-12"},
      {"{n}{n}", 3, "33"},
      {"none", 5, "none"},
      {"{n", 5, "{n"},
      {"{N}", 5, "{N}"},
      {"{n}", 18446744073709551615u, "18446744073709551615"},
  };
  for (const auto& c : cases) EXPECT_EQ(tavuSubstituteCounter(c.text, c.counter), c.expected);

  tavuUeventTemplate event;
  event.keys = {{"ACTION", "add"}, {"DEVPATH", "/class/gpio/gpio{n}"}, {"SEQNUM", "{n}"}};
  EXPECT_EQ(tavuBuildDatagram(event, 42, true),
            "add@/class/gpio/gpio42\0ACTION=add\0DEVPATH=/class/gpio/gpio42\0SEQNUM=42\0"s);
  EXPECT_EQ(tavuBuildDatagram(event, 42, false),
            "add@/class/gpio/gpio42\0ACTION=add\0DEVPATH=/class/gpio/gpio42\0SEQNUM=42"s)
      << "only the very last NUL is left out";
}

TEST(EventPlan, RoundsRepeatTheEventsInOrderWithTheCounter) {
  tavuInjectPlan plan;
  std::string error;
  ASSERT_TRUE(
      tavuParseUeventFile("@noheader\nA={n}\n\n@noheader\nB={n}\n", "f", &plan.events, &error));
  plan.rounds = 3;
  plan.first = 5;
  uint64_t count = 0;
  ASSERT_TRUE(tavuPlanSize(plan, &count));
  std::vector<std::string> sent;
  for (uint64_t i = 0; i < count; ++i) sent.push_back(tavuPlanDatagram(plan, i));
  EXPECT_EQ(sent,
            (std::vector<std::string>{"A=5\0"s, "B=5\0"s, "A=6\0"s, "B=6\0"s, "A=7\0"s, "B=7\0"s}));
  plan.rounds = UINT64_MAX;
  EXPECT_FALSE(tavuPlanSize(plan, &count)) << "two events a round overflow the count";
}

TEST(RawBytes, HexDigitsInPairsWithBlanksOrColonsBetween) {
  const struct {
    const char* text;
    std::string bytes;
    const char* error;
  } cases[] = {
      {"", "", nullptr},
      {"00", "\0"s, nullptr},
      {"61 64 64 40 00 ff", "add@\0\xff"s, nullptr},
      {"6164:6440\t00\n", "add@\0"s, nullptr},
      {"AbCd", "\xab\xcd"s, nullptr},
      {"616", "", "odd number of hex digits"},
      {"6 1", "", "lone hex digit"},
      {"zz", "", "'z' at position 0 is not a hex digit"},
      {"0x41", "", "'x' at position 1"},
  };
  for (const auto& c : cases) {
    std::string bytes;
    std::string error;
    const bool parsed = tavuParseHexBytes(c.text, &bytes, &error);
    EXPECT_EQ(parsed, c.error == nullptr) << c.text;
    if (parsed) {
      EXPECT_EQ(bytes, c.bytes) << c.text;
    } else {
      EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << ": " << error;
    }
  }
  EXPECT_EQ(tavuShowBytes("a\0b\\\n\x7f\xff"s), "a\\0b\\\\\\x0a\\x7f\\xff");
}

struct OptionCase {
  std::vector<const char*> args;  // after the program name
  const char* error;              // part of the message, or null when accepted
};

const OptionCase kOptionCases[] = {
    {{"ACTION=add", "DEVPATH=/a"}, nullptr},
    {{"--file=ev.txt", "-n", "5", "--first", "10", "--rate", "2000", "--json"}, nullptr},
    {{"--raw-hex", "00", "--interval-us=250", "-g", "32", "--dry-run"}, nullptr},
    {{"--", "-odd=1", "--also=2"}, nullptr},
    {{}, "nothing to send"},
    {{"--bogus"}, "unknown option '--bogus'"},
    {{"--file"}, "--file needs a value"},
    {{"-n", "x", "A=1"}, "-n needs a whole number, not 'x'"},
    {{"--repeat", "-3", "A=1"}, "--repeat needs a whole number"},
    {{"--repeat", "0", "A=1"}, "--repeat needs at least 1"},
    {{"--rate", "0", "A=1"}, "--rate needs a positive number"},
    {{"--rate", "fast", "A=1"}, "--rate needs a positive number"},
    {{"--interval-us", "1.5", "A=1"}, "--interval-us needs a whole number"},
    {{"--group", "0", "A=1"}, "--group needs a group from 1 to 32"},
    {{"--group", "33", "A=1"}, "--group needs a group from 1 to 32"},
    {{"--raw-hex", "00", "A=1"}, "give one input"},
    {{"--file", "a", "--raw-file", "b"}, "give one input"},
    {{"--header", "x", "--no-header", "A=1"}, "--header and --no-header exclude each other"},
    {{"--file", "a", "--no-header"}, "--header and --no-header are for command-line events"},
    {{"--raw-hex", "00", "--no-final-nul"}, "--no-final-nul is for built events"},
};

TEST(InjectOptions, AcceptsWhatTheHelpDescribesAndNamesWhatIsWrong) {
  for (const OptionCase& c : kOptionCases) {
    std::vector<const char*> argv = {"tavuinject"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    tavuInjectOptions options;
    std::string error;
    const bool parsed =
        tavuParseInjectOptions(static_cast<int>(argv.size()), argv.data(), &options, &error);
    std::string shown;
    for (const char* word : c.args) shown += std::string(word) + " ";
    EXPECT_EQ(parsed, c.error == nullptr) << shown << "-> " << error;
    if (!parsed && c.error != nullptr) {
      EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    }
  }
}

TEST(InjectOptions, ValuesLandWhereTheyBelong) {
  const char* argv[] = {
      "tavuinject", "--file=ev.txt", "-n", "5", "--first", "10",
      "--rate",     "2000",          "-g", "3", "-v",      "--allow-host-namespace"};
  tavuInjectOptions o;
  std::string error;
  ASSERT_TRUE(tavuParseInjectOptions(static_cast<int>(std::size(argv)), argv, &o, &error)) << error;
  EXPECT_EQ(o.source, tavuInjectOptions::FROM_FILE);
  EXPECT_EQ(o.path, "ev.txt");
  EXPECT_EQ(o.repeat, 5u);
  EXPECT_EQ(o.first, 10u);
  EXPECT_EQ(o.intervalNs, 500000u);
  EXPECT_EQ(o.group, 3u);
  EXPECT_TRUE(o.verbose);
  EXPECT_TRUE(o.allowHostNamespace);
  EXPECT_FALSE(o.dryRun);

  const char* help[] = {"tavuinject", "--help", "--bogus"};
  ASSERT_TRUE(tavuParseInjectOptions(3, help, &o, &error));
  EXPECT_TRUE(o.help) << "--help wins over what follows it";
}

TEST(NamespaceCheck, InitialOnlySysctlsMarkTheHostsNamespace) {
  const tavuScratchDir dir("tavu-netns");
  const std::string& base = dir.path();
  ASSERT_FALSE(base.empty());
  const struct {
    std::vector<const char*> files;
    tavuNetnsVerdict verdict;
  } cases[] = {
      {{"somaxconn"}, TAVU_NETNS_PRIVATE},
      {{"somaxconn", "rmem_max", "xfrm_larval_drop"}, TAVU_NETNS_PRIVATE},
      {{"somaxconn", "netdev_max_backlog"}, TAVU_NETNS_INITIAL},
      {{"somaxconn", "netdev_budget"}, TAVU_NETNS_INITIAL},
      {{"netdev_max_backlog"}, TAVU_NETNS_INITIAL},
      {{}, TAVU_NETNS_UNKNOWN},
  };
  int round = 0;
  for (const auto& c : cases) {
    const std::string sysctl = base + "/" + std::to_string(round++);
    ASSERT_EQ(mkdir(sysctl.c_str(), 0755), 0);
    for (const char* file : c.files) std::ofstream(sysctl + "/" + file) << "1\n";
    EXPECT_EQ(tavuCheckNetworkNamespace(sysctl), c.verdict) << sysctl;
  }
  EXPECT_EQ(tavuCheckNetworkNamespace(base + "/missing"), TAVU_NETNS_UNKNOWN);
}

TEST(NamespaceCheck, TheSandboxsNamespaceIsPrivate) {
  tavuRequireSandbox();
  EXPECT_EQ(tavuCheckNetworkNamespace("/proc/sys/net/core"), TAVU_NETNS_PRIVATE);
}

}  // namespace
