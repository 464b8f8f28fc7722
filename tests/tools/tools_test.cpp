// tavutrace on a buffer the built daemon wrote, with the texts read out of
// that daemon binary and out of a stripped copy of it; tavumon's command
// line. On the board's build the native tavutrace reads the big-endian
// buffer and binary.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "daemon/report_site.h"
#include "platform/trace_buffer_format.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/platform/trace_test_dir.h"
#include "tests/support/own_sites.h"
#include "tools/common/text_format.h"
#include "tools/tavutrace/trace_render.h"

namespace {

std::string tavuEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

class Tavutrace : public DaemonEndToEnd {
 protected:
  // A buffer of the daemon with message, trace and binary entries, and the
  // same decoded here with this program's own sites (the same sources).
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(DaemonEndToEnd::SetUp());
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_NO_FATAL_FAILURE(connectAndHandshake(7));
    send(tavuUeventDatagram("add@/class/gpio/gpio2", {"ACTION=add", "SEQNUM=2x"}));
    send(tavuClassEvent("add", "/class/gpio/gpio1", "gpio", 1, 254, 1));
    receiveAndAcknowledge();
    tavuStopDaemon(&iv_daemon);
    const tavuTraceBuffer buffer = tavuDecodeTestBuffer("TAVUNL");
    for (const tavuTraceRecord& record : buffer.records) {
      iv_text += tavuUtcTime(record.seconds, record.nanoseconds / 1000) + " " +
                 tavuRenderRecord(record, tavuOwnSites()) + "\n";
      iv_json += tavuRecordJson(record, tavuOwnSites()) + "\n";
    }
    std::vector<uint8_t> image = tavuReadBytes(tavuTraceBufferPath("TAVUNL"));
    std::copy_n("feedface", 9, image.begin() + offsetof(tavuTraceFileHeader, buildId));
    ASSERT_TRUE(tavuWriteBytes(iv_dir.file("other"), image));
    image.resize(TAVU_TRACE_HEADER_SIZE + 80);
    ASSERT_TRUE(tavuWriteBytes(iv_dir.file("cut"), image));
    const tavuProgramRun strip =
        tavuRunCapturing({tavuEnv("TAVU_STRIP"), "-o", stripped(), tavuEnv("TAVU_DAEMON")});
    ASSERT_EQ(strip.status, 0) << strip.err;
  }

  std::string stripped() const { return iv_dir.file("stripped"); }

  tavuScratchDir iv_dir{"tavutrace-test"};
  std::string iv_text, iv_json;
};

TEST_F(Tavutrace, DecodesWithTheTextsOfTheDaemonBinaryGiven) {
  ASSERT_NE(iv_text.find(" uevent SEQNUM= value not a number \"add@/class/gpio/gpio2\""),
            std::string::npos)
      << iv_text;
  ASSERT_EQ(iv_text.find("unknown site"), std::string::npos) << iv_text;
  const tavuSiteInfo* fork =
      tavuFindSite(tavuOwnSites(), tavuHashText("%s:%s: Exiting, fork failed\n"));
  ASSERT_NE(fork, nullptr);
  const std::string forkSite =
      "\tmessage\t" + std::to_string(fork->line) + "\t%s:%s: Exiting, fork failed\\n\n";
  const bool big = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
  const std::string daemon = tavuEnv("TAVU_DAEMON");
  const std::string buffer = tavuTraceBufferPath("TAVUNL");
  const std::string entries = std::to_string(tavuSplitLines(iv_json).size());
  const std::string header =
      std::string("name:            TAVUNL\nsize:            32000 bytes\n") +
      "byte order:      " + (big ? "big" : "little") +
      "-endian\nbuild:           " TAVU_BUILD_ID "\nlayout version:  1\n" +
      "entries written: " + entries + "\nentries held:    " + entries + "\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;  // contained in the output
    std::string err;  // contained in the errors; "": none at all
  } rows[] = {
      {{"--daemon", daemon, buffer}, 0, iv_text, ""},
      {{"--daemon", stripped(), "TAVUNL"}, 0, iv_text, ""},
      {{"--daemon", stripped()}, 0, iv_text, ""},
      {{"--json", "--daemon", stripped(), buffer}, 0, iv_json, ""},
      {{"--daemon", stripped(), iv_dir.file("other")}, 0, iv_text, "was written by build feedface"},
      {{"--daemon", daemon, iv_dir.file("cut")}, 1, "", "truncated"},
      {{"--list-sites", "--daemon", stripped()}, 0, forkSite, ""},
      {{"--header", buffer}, 0, header, ""},
      {{"--header", "--json", buffer}, 0, "\"build\":\"" TAVU_BUILD_ID "\"", ""},
      {{"--daemon", iv_dir.file("none"), buffer}, 3, "", "No such file"},
      {{"--daemon", buffer, buffer}, 3, "", "not an ELF file"},
      {{"--daemon", tavuEnv("TAVU_TAVUTRACE"), buffer}, 3, "", "no report sites"},
      {{"--daemon", daemon, iv_dir.file("none")}, 3, "", "No such file"},
      {{"--list-sites", buffer}, 2, "", "try --help"},
      {{"--bogus"}, 2, "", "'--bogus'"},
      {{"--daemon"}, 2, "", "'--daemon'"},
      {{"one", "two"}, 2, "", "'two'"},
      {{"--help"}, 0, "Usage: tavutrace [--daemon FILE]", ""},
  };
  for (const auto& row : rows) {
    std::vector<std::string> argv{tavuEnv("TAVU_TAVUTRACE")};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    SCOPED_TRACE(row.args.front() + " " + row.args.back());
    const tavuProgramRun run = tavuRunCapturing(argv);
    EXPECT_EQ(run.status, row.status);
    EXPECT_NE(run.out.find(row.out), std::string::npos) << run.out;
    EXPECT_NE(run.err.find(row.err), std::string::npos) << run.err;
    EXPECT_TRUE(!row.err.empty() || run.err.empty()) << run.err;
    EXPECT_TRUE(row.status != 2 || tavuSplitLines(run.err).size() == 1) << run.err;
  }
}

TEST(Tavumon, FailuresSayWhyWithTheirStatus) {
  const struct {
    std::vector<std::string> args;
    int status;
    const char* says;
  } rows[] = {
      {{"--serial", "2147483648"}, 2, "bad value '2147483648' for --serial (try --help)"},
      {{"--count=0"}, 2, "bad value '0' for --count (try --help)"},
      {{"--count"}, 2, "--count needs a value (try --help)"},
      {{"--no-ack"}, 2, "unknown option --no-ack (try --help)"},
      {{"stray"}, 2, "unexpected argument 'stray' (try --help)"},
      {{"--serial=-5"}, 1, "cannot connect to the daemon: Connection refused"},  // none here
  };
  for (const auto& row : rows) {
    const tavuProgramRun run = tavuRunBuilt("tavumon", row.args);
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(run.err, std::string("tavumon: ") + row.says + "\n");
  }
}

}  // namespace
