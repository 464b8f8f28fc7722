// The interpreter end to end on the sandbox's /dev: every case of the
// table gives its result, its record and its /dev tree.
#include "devnodes/uevent_interpreter.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "devnodes/uevent_classify.h"
#include "tests/devnodes/dev_sandbox.h"
#include "tests/devnodes/uevent_cases.h"
#include "tests/support/test_support.h"
#include "tests/support/uevent_sender.h"

namespace {

using UeventInterpreter = tavuDevTest;

bool tavuIsDeliveredType(const char* type) {
  for (const char* const* known = kTavuDeliveredTypes; *known != nullptr; ++known) {
    if (std::strcmp(*known, type) == 0) return true;
  }
  return false;
}

TEST_F(UeventInterpreter, EveryCaseGivesItsRecordAndDevTree) {
  for (const tavuUeventCase& c : tavuUeventCases()) {
    SCOPED_TRACE(c.name);
    tavuClearDev();
    tavuDatagramCopy datagram(c.datagram);
    const time_t before = time(nullptr);
    tavuNetlinkEvent* event = nullptr;
    const int result = tavuHandleNetlinkEvent(datagram.iv_length, datagram.iv_data, &event);
    const time_t after = time(nullptr);
    ASSERT_EQ(result, c.result);
    EXPECT_EQ(tavuDevTree(), tavuSorted(c.devTree));
    if (result == 0) {
      EXPECT_EQ(event, nullptr);
      continue;
    }
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->iv_action, c.action);
    EXPECT_EQ(event->iv_seq, c.seq);
    EXPECT_EQ(event->iv_link, c.link);
    EXPECT_EQ(event->iv_tlor, c.tlor);
    ASSERT_NE(event->iv_path, nullptr);
    ASSERT_NE(event->iv_type, nullptr);
    EXPECT_EQ(event->iv_path, c.path);
    EXPECT_EQ(event->iv_type, c.type);
    EXPECT_TRUE(tavuIsDeliveredType(event->iv_type));
    EXPECT_GE(event->iv_time, before);
    EXPECT_LE(event->iv_time, after);
    delete event;
  }
}

TEST_F(UeventInterpreter, RejectedOrIgnoredEventsLeaveDevUntouched) {
  // A node already there must survive events that are not accepted.
  const std::string add = tavuClassEvent("add", "/class/uart/ttyS1", "uart", 1, 4, 65);
  tavuDatagramCopy addCopy(add);
  tavuNetlinkEvent* event = nullptr;
  ASSERT_EQ(tavuHandleNetlinkEvent(addCopy.iv_length, addCopy.iv_data, &event), 1);
  delete event;
  const std::vector<std::string> populated = tavuDevTree();
  ASSERT_EQ(populated.size(), 2u);

  const std::vector<std::string> kRemoveKeys = {"ACTION=remove", "DEVPATH=/class/uart/ttyS1",
                                                "SUBSYSTEM=uart"};
  auto removeWith = [&](const std::string& extra) {
    std::vector<std::string> keys = kRemoveKeys;
    keys.push_back(extra);
    return tavuUeventDatagram("remove@/class/uart/ttyS1", keys);
  };
  const std::string kRefused[] = {
      removeWith("SEQNUM=x"),
      removeWith("MAJOR=4.0"),
      removeWith("MINOR="),
      removeWith("TLOR=0x0"),
      removeWith("ACTION=unbind"),
      removeWith("SUBSYSTEM=tty"),
      removeWith("SUBSYSTEM=net"),
      removeWith("SUBSYSTEM=kwb2"),
      tavuUeventDatagram("remove@/class/uart/ttyS1", {"ACTION=remove", "SUBSYSTEM=uart"}),
  };
  for (const std::string& bytes : kRefused) {
    tavuDatagramCopy copy(bytes);
    event = nullptr;
    EXPECT_EQ(tavuHandleNetlinkEvent(copy.iv_length, copy.iv_data, &event), 0);
    EXPECT_EQ(event, nullptr);
    EXPECT_EQ(tavuDevTree(), populated);
  }
}

TEST_F(UeventInterpreter, NullArgumentsYieldNothing) {
  const std::string bytes = tavuClassEvent("add", "/class/uart/ttyS1", "uart", 1, 4, 65);
  EXPECT_EQ(tavuHandleNetlinkEvent(static_cast<uint32_t>(bytes.size()), bytes.data(), nullptr), 0);
  tavuNetlinkEvent* event = nullptr;
  EXPECT_EQ(tavuHandleNetlinkEvent(0, nullptr, &event), 0);
  EXPECT_EQ(event, nullptr);
  EXPECT_TRUE(tavuDevTree().empty());
}

}  // namespace
