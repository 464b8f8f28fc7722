// The three report forms through the real macros, before and after the
// trace buffer exists: printed, dropped or recorded as the flag says.
#include "daemon/report.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/platform/trace_test_dir.h"
#include "tests/support/own_sites.h"
#include "tools/tavutrace/trace_render.h"

namespace {

constexpr uint32_t WIDGET_REPORT_LINE = __LINE__ + 2;
void reportWidget(int32_t count, const char* name) {
  TAVU_REPORT("%s:%s: widget count=%d, name=%s\n", g_progName, "reportWidget", count, name);
}

constexpr uint32_t WIDGET_TRACE_LINE = __LINE__ + 2;
void traceWidget(uint32_t mask) {
  TAVU_TRACE("%s:%s: widget mask=0x%x\n", g_progName, "traceWidget", mask);
}

constexpr uint32_t WIDGET_BINARY_LINE = __LINE__ + 2;
void binaryWidget(const std::vector<uint8_t>& data) {
  TAVU_TRACE_BINARY("widget datagram", data.data(), static_cast<uint32_t>(data.size()));
}

const std::vector<uint8_t> WIDGET_DATAGRAM = {'a', 'd', 'd', '@', '/', 'w',  0,    'A',
                                              'C', 'T', '=', 'x', 0,   0xff, 0x00, 0x7f};

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_progName = "reporttest";
    g_tracInitCalled.store(0);
    g_netlinkTrace.store(tavuMakeTestBuffer("REPORT", 32000));
  }
  void TearDown() override {
    g_tracInitCalled.store(0);
    g_netlinkTrace.store(TRACE_KELU_NO_BUFFER);
    g_progName = nullptr;
  }
  static std::vector<tavuTraceRecord> recorded() { return tavuDecodeTestBuffer("REPORT").records; }

  tavuScopedTraceDir iv_dir;
};

TEST_F(ReportTest, BeforeTheTraceBufferAMessageIsPrintedExactly) {
  testing::internal::CaptureStdout();
  reportWidget(-3, "w1");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "reporttest:reportWidget: widget count=-3, name=w1\n");
  EXPECT_TRUE(recorded().empty());
}

TEST_F(ReportTest, BeforeTheTraceBufferATraceOnlyEntryGoesNowhere) {
  testing::internal::CaptureStdout();
  traceWidget(0xbeef);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(recorded().empty());
}

TEST_F(ReportTest, AfterTheTraceBufferBothAreRecordedAndNothingPrinted) {
  g_tracInitCalled.store(1);
  testing::internal::CaptureStdout();
  reportWidget(-3, "w1");
  traceWidget(0xbeef);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  const std::vector<tavuTraceRecord> records = recorded();
  ASSERT_EQ(records.size(), 2u);
  const tavuTraceRecord& message = records[0];
  EXPECT_EQ(message.hash, tavuHashText("%s:%s: widget count=%d, name=%s\n"));
  EXPECT_EQ(message.line, WIDGET_REPORT_LINE);
  EXPECT_EQ(message.format, " %s,%s,%d,%s");
  EXPECT_STREQ(tavuRecordKindName(message, tavuOwnSites()), "message");
  EXPECT_EQ(tavuRenderRecord(message, tavuOwnSites()),
            "reporttest:reportWidget: widget count=-3, name=w1");
  const tavuTraceRecord& trace = records[1];
  EXPECT_EQ(trace.hash, tavuHashText("%s:%s: widget mask=0x%x\n"));
  EXPECT_EQ(trace.line, WIDGET_TRACE_LINE);
  EXPECT_EQ(trace.format, " %s,%s,%x");
  EXPECT_STREQ(tavuRecordKindName(trace, tavuOwnSites()), "trace");
  EXPECT_EQ(tavuRenderRecord(trace, tavuOwnSites()), "reporttest:traceWidget: widget mask=0xbeef");
}

TEST_F(ReportTest, BinaryEntriesAreRecordedInBothStates) {
  testing::internal::CaptureStdout();
  binaryWidget(WIDGET_DATAGRAM);
  g_tracInitCalled.store(1);
  binaryWidget(WIDGET_DATAGRAM);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  const std::vector<tavuTraceRecord> records = recorded();
  ASSERT_EQ(records.size(), 2u);
  for (const tavuTraceRecord& record : records) {
    EXPECT_EQ(record.kind, tavuTraceRecord::BINARY);
    EXPECT_TRUE(record.binaryHead);
    EXPECT_EQ(record.binaryLength, WIDGET_DATAGRAM.size());
    EXPECT_EQ(record.binaryTag, TAVU_BINARY_TAG);
    EXPECT_EQ(record.hash, tavuHashText("widget datagram"));
    EXPECT_EQ(record.line, WIDGET_BINARY_LINE);
    EXPECT_EQ(record.data, WIDGET_DATAGRAM);
  }
  const std::string rendered = tavuRenderRecord(records[0], tavuOwnSites());
  EXPECT_EQ(rendered.substr(0, rendered.find('\n')),
            "widget datagram \"add@/w\" \"ACT=x\" \"\\xff\" \"\\x7f\"");
}

}  // namespace
