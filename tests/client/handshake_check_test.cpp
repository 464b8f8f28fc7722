// The daemon's judgement of a received handshake and its mismatch report,
// for every way the received bytes can be wrong.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/handshake.h"
#include "daemon/globals.h"
#include "tests/client/client_test_util.h"
#include "tests/support/test_support.h"

namespace {

std::string header(uint32_t signature, int32_t serial, int32_t payloadLength) {
  return tavuAckBytes(signature, serial, payloadLength);
}

const std::string kText("ready to receive\0", 17);

struct HandshakeCase {
  const char* name;
  std::string received;
  std::string report;  // empty: the handshake is accepted
};
void PrintTo(const HandshakeCase& c, std::ostream* out) {
  *out << c.name;
}

class HandshakeCheck : public testing::TestWithParam<HandshakeCase> {};

TEST_P(HandshakeCheck, AcceptedOrReportedWithWhatArrived) {
  const HandshakeCase& c = GetParam();
  g_progName = "tavunetlink";
  // Exactly the bytes received, so that reading past them is caught.
  std::vector<unsigned char> bytes(c.received.begin(), c.received.end());
  const unsigned char* data = bytes.empty() ? nullptr : bytes.data();
  EXPECT_EQ(tavuHandshakeMatches(data, bytes.size()), c.report.empty());
  if (c.report.empty()) return;
  tavuStdoutCapture out;
  tavuReportHandshakeMismatch(data, bytes.size());
  const std::string printed = out.finish();
  EXPECT_EQ(printed,
            "tavunetlink:tavunetlink_GetClientConnection: Exiting, received message "
            "didn't match what is expected, " +
                c.report + "\n");
}

const char kLong[] = ", signature=0x12345678, serialnum=41, payloadLength=";

INSTANTIATE_TEST_SUITE_P(
    Cases, HandshakeCheck,
    testing::Values(
        HandshakeCase{"Serial41", header(0x12345678, 41, 17) + kText, ""},
        HandshakeCase{"NegativeSerial", header(0x12345678, -5, 17) + kText, ""},
        HandshakeCase{"MostNegativeSerial", header(0x12345678, INT32_MIN, 17) + kText, ""},
        HandshakeCase{"TextWithoutNul", header(0x12345678, 41, 16) + kText.substr(0, 16),
                      "msglength=28" + std::string(kLong) + "16, message=ready to receive"},
        HandshakeCase{"PayloadLength18", header(0x12345678, 41, 18) + kText,
                      "msglength=29" + std::string(kLong) + "18, message=ready to receive"},
        HandshakeCase{"UpperCaseFirstLetter",
                      header(0x12345678, 41, 17) + std::string("Ready to receive\0", 17),
                      "msglength=29" + std::string(kLong) + "17, message=Ready to receive"},
        HandshakeCase{"WrongSignature", header(0x87654321, 41, 17) + kText,
                      "msglength=29, signature=0x87654321, serialnum=41, payloadLength=17, "
                      "message=ready to receive"},
        HandshakeCase{"TextStopsAtItsFirstNul",
                      header(0x12345678, 41, 17) + std::string("ready\0to receive\0", 17),
                      "msglength=29" + std::string(kLong) + "17, message=ready"},
        HandshakeCase{"TextWithNoNulAnywhere", header(0x12345678, 41, 17) + std::string(17, 'x'),
                      "msglength=29" + std::string(kLong) + "17, message=" + std::string(17, 'x')},
        HandshakeCase{"OneByteOfText", header(0x12345678, 41, 17) + "r",
                      "msglength=13" + std::string(kLong) + "17, message=r"},
        HandshakeCase{"HeaderAlone", header(0x12345678, 41, 17), "msglength=12"},
        HandshakeCase{"FewerThanAHeader", header(0x12345678, 41, 17).substr(0, 5), "msglength=5"},
        HandshakeCase{"Nothing", "", "msglength=0"}),
    [](const testing::TestParamInfo<HandshakeCase>& info) { return std::string(info.param.name); });

}  // namespace
