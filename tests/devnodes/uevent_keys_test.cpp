// Walking a datagram's strings, number conversion, and the key table.
#include "devnodes/uevent_keys.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "tests/devnodes/dev_sandbox.h"
#include "tests/support/uevent_sender.h"

namespace {

void tavuCollect(const char* string, size_t stringLength, void* context) {
  static_cast<std::vector<std::string>*>(context)->emplace_back(string, stringLength);
}

std::vector<std::string> tavuWalk(const std::string& bytes) {
  std::vector<std::string> strings;
  tavuDatagramCopy copy(bytes);
  const uint32_t count = tavuWalkUeventStrings(copy.iv_length, copy.iv_data, tavuCollect, &strings);
  EXPECT_EQ(count, strings.size());
  return strings;
}

using Strings = std::vector<std::string>;

TEST(UeventWalk, VisitsEveryTerminatedStringInOrder) {
  EXPECT_EQ(tavuWalk(std::string("a\0bc\0\0d\0", 8)), (Strings{"a", "bc", "", "d"}));
  EXPECT_EQ(tavuWalk(std::string("\0", 1)), (Strings{""}));
  EXPECT_EQ(tavuWalk(""), Strings{});
}

TEST(UeventWalk, UnterminatedTailIsPassedOver) {
  EXPECT_EQ(tavuWalk(std::string("a\0MINOR=6", 9)), (Strings{"a"}));
  EXPECT_EQ(tavuWalk("no terminator at all"), Strings{});
  EXPECT_EQ(tavuWalk(std::string(4096, 'x')), Strings{});
}

TEST(UeventWalk, LengthBoundsTheWalkEvenWhenMoreBytesFollow) {
  const std::string bytes("one\0two\0three\0", 14);
  std::vector<std::string> strings;
  tavuWalkUeventStrings(6, bytes.data(), tavuCollect, &strings);  // "one\0tw"
  EXPECT_EQ(strings, (Strings{"one"}));
  strings.clear();
  tavuWalkUeventStrings(0, bytes.data(), tavuCollect, &strings);
  EXPECT_TRUE(strings.empty());
}

struct tavuNumberCase {
  const char* value;
  bool isNumber;
  int32_t number;
};

TEST(UeventNumber, ConversionRules) {
  const tavuNumberCase kCases[] = {
      {"812", true, 812},
      {"0", true, 0},
      {"+7", true, 7},
      {"-13", true, -13},
      {"  42", true, 42},
      {"\t\n 5", true, 5},
      {"007", true, 7},
      {"2147483647", true, INT32_MAX},
      {"-2147483648", true, INT32_MIN},
      {"2147483648", true, INT32_MAX},
      {"-2147483649", true, INT32_MIN},
      {"99999999999", true, INT32_MAX},
      {"-99999999999", true, INT32_MIN},
      {"99999999999999999999999999", true, INT32_MAX},
      {"", false, 0},
      {" ", false, 0},
      {"+", false, 0},
      {"-", false, 0},
      {"12x", false, 0},
      {"12 ", false, 0},
      {"0x1F", false, 0},
      {"1F", false, 0},
      {"x12", false, 0},
      {"1.5", false, 0},
      {"+-1", false, 0},
  };
  for (const tavuNumberCase& c : kCases) {
    int32_t number = 1234;
    EXPECT_EQ(tavuParseUeventNumber(c.value, &number), c.isNumber) << "'" << c.value << "'";
    EXPECT_EQ(number, c.number) << "'" << c.value << "'";
  }
}

void tavuRead(const std::vector<std::string>& strings, tavuUeventKeys* keys) {
  const std::string bytes = tavuUeventDatagram("add@/class/uart/ttyS1", strings);
  tavuDatagramCopy copy(bytes);
  tavuReadUeventKeys(copy.iv_length, copy.iv_data, keys);
}

TEST(UeventKeys, EveryKeyLandsInItsField) {
  tavuUeventKeys keys;
  tavuRead({"ACTION=remove", "DEVPATH=/class/uart/ttyS1", "SUBSYSTEM=uart", "SEQNUM=812", "MAJOR=4",
            "MINOR=65", "LINK=3", "TLOR=-2"},
           &keys);
  EXPECT_FALSE(keys.rejected);
  EXPECT_TRUE(keys.subsystemSeen);
  EXPECT_EQ(keys.record.iv_action, TAVU_ACTION_REMOVE);
  EXPECT_STREQ(keys.record.iv_path, "/class/uart/ttyS1");
  EXPECT_STREQ(keys.record.iv_type, "uart");
  EXPECT_EQ(keys.record.iv_seq, 812);
  EXPECT_EQ(keys.major, 4);
  EXPECT_EQ(keys.minor, 65);
  EXPECT_EQ(keys.record.iv_link, 3);
  EXPECT_EQ(keys.record.iv_tlor, -2);
}

TEST(UeventKeys, NothingSeenLeavesAFreshRecord) {
  tavuUeventKeys keys;
  tavuRead({"devpath=/class/uart/ttyS1", "Subsystem=uart", "ACTIONS=add", "SEQNUM", "MAJOR:4", "=",
            "X=ACTION=add"},
           &keys);
  EXPECT_FALSE(keys.rejected);
  EXPECT_FALSE(keys.subsystemSeen);
  EXPECT_EQ(keys.record.iv_action, TAVU_ACTION_NONE);
  EXPECT_EQ(keys.record.iv_path, nullptr);
  EXPECT_EQ(keys.record.iv_type, nullptr);
  EXPECT_EQ(keys.record.iv_seq, 0);
  EXPECT_EQ(keys.major, 0);
}

TEST(UeventKeys, LastOccurrenceStandsButAnyMalformedOneRejects) {
  tavuUeventKeys keys;
  tavuRead({"ACTION=add", "ACTION=remove", "DEVPATH=/a", "DEVPATH=/b", "SUBSYSTEM=gpio",
            "SUBSYSTEM=uart", "SEQNUM=1", "SEQNUM=2", "LINK=5", "LINK=abc"},
           &keys);
  EXPECT_FALSE(keys.rejected);
  EXPECT_EQ(keys.record.iv_action, TAVU_ACTION_REMOVE);
  EXPECT_STREQ(keys.record.iv_path, "/b");
  EXPECT_STREQ(keys.record.iv_type, "uart");
  EXPECT_EQ(keys.record.iv_seq, 2);
  EXPECT_EQ(keys.record.iv_link, 0);

  tavuUeventKeys later;
  tavuRead({"MAJOR=4", "MAJOR=x", "MAJOR=5"}, &later);
  EXPECT_TRUE(later.rejected);
  EXPECT_EQ(later.major, 5);
}

TEST(UeventKeys, EachMalformedValueRejectsExceptLink) {
  struct Case {
    const char* string;
    bool rejected;
  };
  const Case kCases[] = {
      {"ACTION=change", true}, {"ACTION=Add", true},  {"ACTION=add ", true}, {"ACTION=", true},
      {"SEQNUM=12x", true},    {"MAJOR=", true},      {"MINOR=0x1", true},   {"TLOR=t", true},
      {"LINK=abc", false},     {"ACTION=add", false}, {"DEVPATH=", false},   {"SUBSYSTEM=", false},
  };
  for (const Case& c : kCases) {
    tavuUeventKeys keys;
    tavuRead({c.string}, &keys);
    EXPECT_EQ(keys.rejected, c.rejected) << c.string;
  }
}

TEST(UeventKeys, UnterminatedLastKeyIsNotTaken) {
  std::string bytes = tavuUeventDatagram("add@/class/uart/ttyS1", {"MAJOR=4", "MINOR=65"});
  bytes.pop_back();  // "MINOR=65" loses its NUL: it may have been "MINOR=650"
  tavuDatagramCopy copy(bytes);
  tavuUeventKeys keys;
  tavuReadUeventKeys(copy.iv_length, copy.iv_data, &keys);
  EXPECT_EQ(keys.major, 4);
  EXPECT_EQ(keys.minor, 0);
  EXPECT_FALSE(keys.rejected);
}

}  // namespace
