// The interpreter's edge values, called directly: how each key's value is
// read, which malformed values reject the event, and the binary entry each
// one leaves.
#include <malloc.h>

#include <cstring>
#include <memory>

#include "report.h"
#include "tavu_test.h"
#include "uevent_interpreter.h"

namespace {

tavuLines g_entries;  // "tag length" of each binary entry written

}  // namespace

// Stands between the interpreter and the trace library, to see what it writes.
extern "C" int __wrap_trace_kelu_write2(trace_kelu_desc_t, int, uint32_t size1, const void* chunk1,
                                        uint32_t, const void*) {
  tavuBinaryEntryHead head{};
  std::memcpy(&head, chunk1, std::min<size_t>(size1, sizeof head));
  g_entries.push_back(std::to_string(head.tag) + " " + std::to_string(head.length));
  return 0;
}

namespace {

// Exactly the bytes of `strings`, each with its NUL but a last one cut
// short, on the heap, so that a read past the end is caught.
int tavuInterpret(const tavuLines& strings, tavuNetlinkEvent** event, bool lastCut = false) {
  std::string bytes;
  for (const std::string& text : strings) bytes += text + '\0';
  if (lastCut && !bytes.empty()) bytes.pop_back();
  const std::unique_ptr<char[]> copy(new char[bytes.size() + 1]);
  std::memcpy(copy.get(), bytes.data(), bytes.size());
  return tavuHandleNetlinkEvent(static_cast<uint32_t>(bytes.size()), copy.get(), event);
}

struct tavuKeyRow {
  const char* name;
  tavuLines extra;     // after ACTION=add, DEVPATH=/devices/u, SUBSYSTEM=uart
  const char* record;  // "action seq link tlor", or "" for no event
  size_t entries;      // binary entries written
};

// clang-format off
const tavuKeyRow TAVU_KEY_ROWS[] = {
    {"PlainNumbers", {"SEQNUM=812", "LINK=5", "TLOR=-2"}, "1 812 5 -2", 0},
    {"SignAccepted", {"SEQNUM=+7"}, "1 7 0 0", 0},
    {"LeadingBlanksAccepted", {"SEQNUM=  7"}, "1 7 0 0", 0},
    {"SaturatedHigh", {"SEQNUM=99999999999"}, "1 2147483647 0 0", 0},
    {"SaturatedLow", {"SEQNUM=-99999999999"}, "1 -2147483648 0 0", 0},
    {"TrailingCharacter", {"SEQNUM=12x"}, "", 1},
    {"EmptyValue", {"SEQNUM="}, "", 1},
    {"Hexadecimal", {"SEQNUM=0x1F"}, "", 1},
    {"TwoMalformedTwoEntries", {"SEQNUM=12x", "MAJOR=x"}, "", 2},
    {"BadMinor", {"MINOR=m"}, "", 1},
    {"BadTlor", {"TLOR=t"}, "", 1},
    {"BadLinkKeepsTheEvent", {"SEQNUM=3", "LINK=abc"}, "1 3 0 0", 1},
    {"UnknownAction", {"ACTION=change"}, "", 1},
    {"LastOccurrenceStands", {"SEQNUM=1", "SEQNUM=2"}, "1 2 0 0", 0},
    {"MalformedThenGoodStillRejects", {"SEQNUM=x", "SEQNUM=2"}, "", 1},
    {"KeysAreCaseSensitive", {"seqnum=5", "Link=5"}, "1 0 0 0", 0},
};
// clang-format on

class InterpreterKeys : public ::testing::TestWithParam<tavuKeyRow> {};

TEST_P(InterpreterKeys, ValuesReadAsTheKernelMeantThem) {
  g_entries.clear();
  tavuLines strings = {"add@/devices/u", "ACTION=add", "DEVPATH=/devices/u", "SUBSYSTEM=uart"};
  strings.insert(strings.end(), GetParam().extra.begin(), GetParam().extra.end());
  size_t length = 0;
  for (const std::string& text : strings) length += text.size() + 1;
  tavuNetlinkEvent* event = nullptr;
  const int result = tavuInterpret(strings, &event);
  const std::unique_ptr<tavuNetlinkEvent> record(event);
  EXPECT_EQ(result, *GetParam().record != '\0');
  EXPECT_EQ(event == nullptr
                ? ""
                : std::to_string(event->iv_action) + " " + std::to_string(event->iv_seq) + " " +
                      std::to_string(event->iv_link) + " " + std::to_string(event->iv_tlor) + " " +
                      event->iv_path + " " + event->iv_type,
            *GetParam().record == '\0' ? "" : GetParam().record + std::string(" /devices/u uart"));
  // Each carries the whole datagram, under the tag "FD".
  EXPECT_EQ(g_entries, tavuLines(GetParam().entries, "17988 " + std::to_string(length)));
}

INSTANTIATE_TEST_SUITE_P(Rows, InterpreterKeys, ::testing::ValuesIn(TAVU_KEY_ROWS),
                         tavuRowName<tavuKeyRow>);

TEST(InterpreterDatagrams, ShapesThatCarryNoEventAndStringsCutShort) {
  tavuNetlinkEvent* event = nullptr;
  for (const tavuLines& strings : {tavuLines{},
                                   {"add@/devices/u"},
                                   {"ACTION=add", "SUBSYSTEM=net"},
                                   {"ACTION=add", "DEVPATH=/devices/u"}}) {
    EXPECT_EQ(tavuInterpret(strings, &event), 0);
  }
  EXPECT_EQ(tavuHandleNetlinkEvent(4, nullptr, &event), 0);
  EXPECT_EQ(event, nullptr);
  // The last string, without its NUL, is not read; the record, deleted,
  // gives back all it took.
  const size_t heap = mallinfo2().uordblks;
  ASSERT_EQ(tavuInterpret({"ACTION=add", "DEVPATH=/devices/u", "SUBSYSTEM=uart", "SEQNUM=5"},
                          &event, true),
            1);
  EXPECT_EQ(event->iv_seq, 0);
  delete event;
  EXPECT_EQ(mallinfo2().uordblks, heap);
}

}  // namespace
