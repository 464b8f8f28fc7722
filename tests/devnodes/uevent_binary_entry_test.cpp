// The binary entries of malformed values, read back through the trace
// decoder: one entry per malformed value, each from its own site, each
// carrying the whole datagram.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "daemon/globals.h"
#include "daemon/report_site.h"
#include "devnodes/uevent_interpreter.h"
#include "platform/trace_kelu.h"
#include "tests/devnodes/dev_sandbox.h"
#include "tests/devnodes/uevent_cases.h"
#include "tests/platform/trace_test_dir.h"
#include "tests/support/own_sites.h"
#include "tests/support/test_support.h"
#include "tests/support/uevent_sender.h"
#include "tools/tavutrace/trace_render.h"

namespace {

const char kBufferName[] = "DEVNODES";

// The binary sites of this program by text: the interpreter's among them.
std::map<std::string, tavuSiteInfo> tavuInterpreterSites() {
  std::map<std::string, tavuSiteInfo> sites;
  for (const tavuSiteInfo& site : tavuOwnSites().sites) {
    if (site.kind == TAVU_SITE_BINARY) sites[site.text] = site;
  }
  return sites;
}

class UeventBinaryEntry : public tavuDevTest {
 protected:
  tavuScopedTraceDir iv_dir;

  // Feeds one datagram into a fresh trace buffer; returns its binary entries.
  std::vector<tavuTraceRecord> feed(const std::string& bytes, int* result) {
    g_netlinkTrace.store(tavuMakeTestBuffer(kBufferName, 32000));
    tavuDatagramCopy copy(bytes);
    tavuNetlinkEvent* event = nullptr;
    *result = tavuHandleNetlinkEvent(copy.iv_length, copy.iv_data, &event);
    delete event;
    g_netlinkTrace.store(TRACE_KELU_NO_BUFFER);
    const tavuTraceBuffer buffer = tavuDecodeTestBuffer(kBufferName);
    EXPECT_TRUE(buffer.problems.empty());
    std::vector<tavuTraceRecord> entries;
    for (const tavuTraceRecord& record : buffer.records) {
      EXPECT_EQ(record.kind, tavuTraceRecord::BINARY) << tavuRenderRecord(record, tavuOwnSites());
      if (record.kind == tavuTraceRecord::BINARY) entries.push_back(record);
    }
    return entries;
  }
};

TEST_F(UeventBinaryEntry, EachMalformedValueWritesItsSitesEntryWithTheWholeDatagram) {
  struct Case {
    const char* key;
    const char* site;
    int result;
  };
  const Case kCases[] = {
      {"ACTION=bind", "uevent ACTION= value not recognised", 0},
      {"SEQNUM=12x", "uevent SEQNUM= value not a number", 0},
      {"MAJOR=0x4", "uevent MAJOR= value not a number", 0},
      {"MINOR=", "uevent MINOR= value not a number", 0},
      {"LINK=abc", "uevent LINK= value not a number", 1},
      {"TLOR=1 ", "uevent TLOR= value not a number", 0},
  };
  const auto sites = tavuInterpreterSites();
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.key);
    const std::string bytes = tavuUeventDatagram(
        "add@/devices/link-0/kwb-0",
        {"ACTION=add", "DEVPATH=/devices/link-0/kwb-0", "SUBSYSTEM=kwb", c.key, "SEQNUM=3"});
    int result = -1;
    const auto entries = feed(bytes, &result);
    EXPECT_EQ(result, c.result);
    ASSERT_EQ(entries.size(), 1u);
    ASSERT_EQ(sites.count(c.site), 1u);
    EXPECT_EQ(entries[0].binaryTag, 0x4644);
    EXPECT_EQ(entries[0].hash, sites.at(c.site).hash);
    EXPECT_EQ(entries[0].line, sites.at(c.site).line);
    EXPECT_EQ(std::string(entries[0].data.begin(), entries[0].data.end()), bytes);
    EXPECT_NE(tavuRenderRecord(entries[0], tavuOwnSites()).find(c.site), std::string::npos)
        << tavuRenderRecord(entries[0], tavuOwnSites());
  }
}

TEST_F(UeventBinaryEntry, EveryCaseWritesOneEntryPerMalformedValue) {
  for (const tavuUeventCase& c : tavuUeventCases()) {
    SCOPED_TRACE(c.name);
    tavuClearDev();
    int result = -1;
    const auto entries = feed(c.datagram, &result);
    EXPECT_EQ(result, c.result);
    ASSERT_EQ(static_cast<int>(entries.size()), c.binaryEntries);
    for (const tavuTraceRecord& entry : entries) {
      EXPECT_EQ(entry.binaryTag, 0x4644);
      EXPECT_EQ(std::string(entry.data.begin(), entry.data.end()), c.datagram);
    }
  }
}

TEST_F(UeventBinaryEntry, EntriesAreWrittenBeforeTheTraceIsMarkedReady) {
  g_tracInitCalled.store(0);
  int result = -1;
  const auto entries = feed(tavuUeventDatagram("x", {"SEQNUM=?", "MAJOR=?"}), &result);
  EXPECT_EQ(result, 0);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_NE(entries[0].hash, entries[1].hash);
}

TEST_F(UeventBinaryEntry, LengthIsTruncatedTo16Bits) {
  // 70000 bytes: the entry carries the first 70000 - 65536 of them.
  std::string bytes = tavuUeventDatagram("x", {"SEQNUM=bad"});
  bytes += "DEVPATH=/devices/";
  bytes += std::string(70000 - bytes.size() - 1, 'p');
  bytes.push_back('\0');
  ASSERT_EQ(bytes.size(), 70000u);
  int result = -1;
  const auto entries = feed(bytes, &result);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(std::string(entries[0].data.begin(), entries[0].data.end()),
            bytes.substr(0, 70000 - 65536));
}

}  // namespace
