// tavumon's command line and its two output forms.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/tavumon/tavumon_format.h"
#include "tools/tavumon/tavumon_options.h"

namespace {

bool parse(std::vector<std::string> words, tavumonOptions* options, std::string* error) {
  words.insert(words.begin(), "tavumon");
  std::vector<char*> argv;
  argv.reserve(words.size());
  for (std::string& word : words) argv.push_back(word.data());
  return tavumonParseOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

TEST(TavumonOptions, DefaultsWithoutArguments) {
  tavumonOptions options;
  std::string error;
  ASSERT_TRUE(parse({}, &options, &error));
  EXPECT_EQ(options.iv_serial, 0);
  EXPECT_EQ(options.iv_count, 0);
  EXPECT_FALSE(options.iv_json);
  EXPECT_FALSE(options.iv_noAck);
  EXPECT_EQ(options.iv_wrongAck, tavumonWrongAck::NONE);
  EXPECT_EQ(options.iv_closeAfter, 0);
  EXPECT_FALSE(options.iv_handshakeSplit);
}

TEST(TavumonOptions, EveryOptionInBothSpellings) {
  tavumonOptions options;
  std::string error;
  ASSERT_TRUE(parse({"--serial", "-2147483648", "--count=3", "--json", "--ack-delay", "250",
                     "--wrong-ack=length", "--close-after", "2", "--handshake-split"},
                    &options, &error))
      << error;
  EXPECT_EQ(options.iv_serial, INT32_MIN);
  EXPECT_EQ(options.iv_count, 3);
  EXPECT_TRUE(options.iv_json);
  EXPECT_EQ(options.iv_ackDelayMs, 250);
  EXPECT_EQ(options.iv_wrongAck, tavumonWrongAck::LENGTH);
  EXPECT_EQ(options.iv_closeAfter, 2);
  EXPECT_TRUE(options.iv_handshakeSplit);
}

TEST(TavumonOptions, HelpAndNoAck) {
  tavumonOptions options;
  std::string error;
  ASSERT_TRUE(parse({"-h", "--no-ack"}, &options, &error));
  EXPECT_TRUE(options.iv_help);
  EXPECT_TRUE(options.iv_noAck);
}

struct BadCase {
  std::vector<std::string> words;
  std::string error;
};

TEST(TavumonOptions, BadUsageIsExplained) {
  const BadCase cases[] = {
      {{"--bogus"}, "unknown option --bogus"},
      {{"stray"}, "unexpected argument 'stray'"},
      {{"--serial"}, "--serial needs a value"},
      {{"--serial", "2147483648"}, "bad value '2147483648' for --serial"},
      {{"--serial", "12x"}, "bad value '12x' for --serial"},
      {{"--serial="}, "bad value '' for --serial"},
      {{"--count", "0"}, "bad value '0' for --count"},
      {{"--close-after", "-1"}, "bad value '-1' for --close-after"},
      {{"--ack-delay", "-5"}, "bad value '-5' for --ack-delay"},
      {{"--wrong-ack", "late"}, "bad value 'late' for --wrong-ack"},
      {{"--json=yes"}, "--json takes no value"},
      {{"--no-ack", "--wrong-ack", "serial"}, "--no-ack and --wrong-ack exclude each other"},
  };
  for (const BadCase& c : cases) {
    tavumonOptions options;
    std::string error;
    EXPECT_FALSE(parse(c.words, &options, &error)) << c.words.front();
    EXPECT_EQ(error, c.error) << c.words.front();
  }
}

TEST(TavumonOptions, UsageListsEveryOptionAndExitStatus) {
  for (const char* word :
       {"--serial", "--count", "--json", "--ack-delay", "--no-ack", "--wrong-ack", "--close-after",
        "--handshake-split", "--help", "  0  ", "  1  ", "  2  "}) {
    EXPECT_NE(std::strstr(TAVUMON_USAGE, word), nullptr) << word;
  }
}

tavuclient_event makeEvent(int32_t action, const char* path, const char* type) {
  tavuclient_event event{};
  event.serial_num = 42;
  event.time = 1769860800;
  event.action = action;
  event.seq = 812;
  event.link = -1;
  event.tlor = 7;
  std::strncpy(event.path, path, sizeof event.path - 1);
  std::strncpy(event.type, type, sizeof event.type - 1);
  return event;
}

struct FormatCase {
  const char* name;
  tavuclient_event event;
  std::string text;
  std::string json;
};
void PrintTo(const FormatCase& c, std::ostream* out) {
  *out << c.name;
}

class TavumonFormat : public testing::TestWithParam<FormatCase> {};

TEST_P(TavumonFormat, TextLineAndJsonObject) {
  EXPECT_EQ(tavumonFormatText(GetParam().event), GetParam().text);
  EXPECT_EQ(tavumonFormatJson(GetParam().event), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TavumonFormat,
    testing::Values(
        FormatCase{"NoActionAndEmptyTexts", makeEvent(0, "", ""),
                   "time=2026-01-31T12:00:00Z action=none seq=812 link=-1 tlor=7 path= type= "
                   "serial=42",
                   "{\"serial\":42,\"time\":1769860800,\"action\":\"none\",\"action_code\":0,"
                   "\"seq\":812,\"link\":-1,\"tlor\":7,\"path\":\"\",\"type\":\"\"}"},
        FormatCase{"UnknownActionShowsItsNumber", makeEvent(9, "/p", "t"),
                   "time=2026-01-31T12:00:00Z action=9 seq=812 link=-1 tlor=7 path=/p type=t "
                   "serial=42",
                   "{\"serial\":42,\"time\":1769860800,\"action\":\"9\",\"action_code\":9,"
                   "\"seq\":812,\"link\":-1,\"tlor\":7,\"path\":\"/p\",\"type\":\"t\"}"},
        FormatCase{"AwkwardBytesAreEscaped", makeEvent(1, "/a b\\c\"d\n", "\x01\xc3\xa9"),
                   "time=2026-01-31T12:00:00Z action=add seq=812 link=-1 tlor=7 "
                   "path=/a\\x20b\\x5cc\"d\\x0a type=\\x01\\xc3\\xa9 serial=42",
                   "{\"serial\":42,\"time\":1769860800,\"action\":\"add\",\"action_code\":1,"
                   "\"seq\":812,\"link\":-1,\"tlor\":7,\"path\":\"/a b\\\\c\\\"d\\u000a\","
                   "\"type\":\"\\u0001\\u00c3\\u00a9\"}"}),
    [](const testing::TestParamInfo<FormatCase>& info) { return std::string(info.param.name); });

}  // namespace
