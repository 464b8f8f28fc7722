// The event payload's byte layout, built without a socket.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "client/event_delivery.h"
#include "tests/client/client_test_util.h"

namespace {

struct PayloadCase {
  const char* name;
  int32_t action, seq, link, tlor, time;
  const char* path;  // may be null
  const char* type;  // may be null
  std::string expectedTexts;
};
void PrintTo(const PayloadCase& c, std::ostream* out) {
  *out << c.name;
}

class PayloadLayout : public testing::TestWithParam<PayloadCase> {};

TEST_P(PayloadLayout, NumbersInHostOrderThenBothTextsWithTheirNuls) {
  const PayloadCase& c = GetParam();
  tavuNetlinkEvent record = tavuMakeRecord(c.action, c.seq, c.path, c.type, c.time, c.link, c.tlor);
  uint32_t length = 12345;
  char* payload = tavunetlink_BuildEventPayload(&record, &length);
  ASSERT_NE(payload, nullptr);
  const std::string expected = tavuHostWord(c.time) + tavuHostWord(c.action) + tavuHostWord(c.seq) +
                               tavuHostWord(c.link) + tavuHostWord(c.tlor) + c.expectedTexts;
  EXPECT_EQ(length, expected.size());
  EXPECT_EQ(std::string(payload, length), expected);
  std::free(payload);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PayloadLayout,
    testing::Values(
        PayloadCase{"TenAndThree", 1, 812, 0, 0, 1769860800, "/class/x/a", "abc",
                    std::string("/class/x/a\0abc\0", 15)},
        PayloadCase{"NoTexts", 1, 1, 0, 0, 0, nullptr, nullptr, std::string("\0\0", 2)},
        PayloadCase{"EmptyTextsLikeNone", 2, 3, 0, 0, 5, "", "", std::string("\0\0", 2)},
        PayloadCase{"PathOnly", 2, 3, 0, 0, 5, "/class/uart/ttyS1", nullptr,
                    std::string("/class/uart/ttyS1\0\0", 19)},
        PayloadCase{"RemoveTravelsAsTwo", 2, 7, 0, 0, 1, "/p", "uart",
                    std::string("/p\0uart\0", 8)},
        PayloadCase{"NoActionTravelsAsZero", 0, 7, 0, 0, 1, "/p", "t", std::string("/p\0t\0", 5)},
        PayloadCase{"ExtremeNumbers", 1, INT32_MAX, INT32_MIN, -1, INT32_MIN, "/devices/link-0",
                    "kwb", std::string("/devices/link-0\0kwb\0", 20)}),
    [](const testing::TestParamInfo<PayloadCase>& info) { return std::string(info.param.name); });

}  // namespace
