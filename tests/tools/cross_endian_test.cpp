// A buffer written by this cross-built (big-endian) program under the
// emulator, decoded by the native tavutrace of the workstation.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/report_site.h"
#include "platform/trace_kelu.h"
#include "tests/platform/trace_test_dir.h"
#include "tests/support/test_support.h"
#include "tools/tavutrace/trace_decode.h"

namespace {

// The first binary site of the daemon, so that the native table knows it.
const tavuSiteInfo* anyBinarySite() {
  for (const tavuSiteInfo& site : tavuLinkedSites()) {
    if (site.kind == TAVU_SITE_BINARY) return &site;
  }
  return nullptr;
}

void writeKnownEntries(trace_kelu_desc_t desc, const tavuSiteInfo& binarySite) {
  trace_kelu_write_all(desc, tavuHashText("%s:%s: Exiting, fork failed\n"), " %s,%s", 31, 0,
                       "tavunetlink", "main");
  trace_kelu_write_all(desc, 0x0badf00d, " %s,%d,%x", 77, 0, "xyz", -5, 0xdeadbeefu);
  const char datagram[] = "add@/devices/kwb0\0ACTION=add\0SEQNUM=x";
  const uint16_t halves[2] = {sizeof datagram, 0x4644};
  const uint32_t words[2] = {binarySite.hash, binarySite.line};
  uint8_t head[12];
  std::memcpy(head, halves, sizeof halves);
  std::memcpy(head + 4, words, sizeof words);
  trace_kelu_write2(desc, 0, sizeof head, head, sizeof datagram, datagram);
}

TEST(CrossEndian, NativeDecoderReadsTheBoardsBuffer) {
  ASSERT_EQ(__BYTE_ORDER__, __ORDER_BIG_ENDIAN__) << "this test belongs to the big-endian build";
  const char* native = std::getenv("TAVU_NATIVE_TAVUTRACE");
  ASSERT_NE(native, nullptr) << "TAVU_NATIVE_TAVUTRACE is not set";
  const tavuProgramRun help = tavuRunCapturing({native, "--help"});
  ASSERT_EQ(help.status, 0) << "the native tavutrace (" << native
                            << ") is missing: build the default preset first";
  const tavuSiteInfo* binarySite = anyBinarySite();
  ASSERT_NE(binarySite, nullptr);

  tavuScopedTraceDir dir;
  writeKnownEntries(tavuMakeTestBuffer("TAVUNL", 32000), *binarySite);
  const tavuTraceBuffer buffer = tavuDecodeTestBuffer("TAVUNL");
  ASSERT_EQ(buffer.records.size(), 3u);
  std::string expected;
  for (const tavuTraceRecord& record : buffer.records) {
    expected += tavuFormatUtcTime(record.seconds, record.nanoseconds) + " " +
                tavuRenderRecord(record) + "\n";
  }

  const tavuProgramRun run = tavuRunCapturing({native, dir.file("TAVUNL")});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, expected);
  const std::vector<std::string> lines = tavuSplitLines(run.out);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_NE(lines[0].find(" tavunetlink:main: Exiting, fork failed"), std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find(" unknown site 0x0badf00d line 77: \"xyz\", -5, 0xdeadbeef"),
            std::string::npos)
      << lines[1];
  const std::string binaryText =
      binarySite->text + " \"add@/devices/kwb0\" \"ACTION=add\" \"SEQNUM=x\"";
  EXPECT_NE(lines[2].find(binaryText), std::string::npos) << lines[2];
  EXPECT_EQ(lines[3].rfind("    0000  61 64 64 40", 0), 0u) << lines[3];

  const tavuProgramRun header = tavuRunCapturing({native, "--header", dir.file("TAVUNL")});
  EXPECT_NE(header.out.find("byte order:      big-endian\n"), std::string::npos) << header.out;
  EXPECT_NE(header.out.find("entries written: 3\n"), std::string::npos) << header.out;
}

}  // namespace
