// The trace library's stand-in read back through the decoder: entries keep
// their arguments, the ring keeps the newest whole entries, damage is told
// and not followed, and bad names, sizes or descriptors do no harm.

#include <cstddef>

#include "tavu_test.h"
#include "trace_buffer_format.h"
#include "trace_decode.h"
#include "trace_kelu.h"

namespace {

class TraceRing : public ::testing::Test {
 protected:
  // Buffers go to "t", a directory the stand-in makes itself.
  void SetUp() override {
    ASSERT_NE(mkdtemp(iv_dir), nullptr);
    ASSERT_EQ(chdir(iv_dir), 0);
    setenv("TAVU_TRACE_DIR", "t", 1);
  }
  void TearDown() override { (void)!system(("rm -rf " + std::string(iv_dir)).c_str()); }
  trace_kelu_desc_t create(const char* name, uint32_t size) {
    trace_kelu_desc_t desc = 0;
    EXPECT_EQ(trace_kelu_init_buffer(&desc, name, size), 0);
    return desc;
  }
  // The buffer as "seq:hash:line:args..." a record, "!" when damage was told.
  std::string entries(const char* name) {
    tavuTraceBuffer buffer;
    std::string error, text;
    EXPECT_TRUE(tavuReadTraceBufferFile(std::string("t/") + name, &buffer, &error)) << error;
    for (const tavuTraceRecord& record : buffer.iv_records) {
      text += (text.empty() ? "" : " ") + std::to_string(record.iv_seq) + ":" +
              std::to_string(record.iv_hash) + ":" + std::to_string(record.iv_line) + ":" +
              std::to_string(record.iv_flags);
      for (const tavuTraceArg& arg : record.iv_args)
        text += ":" + (arg.iv_type == 's' ? arg.iv_text : std::to_string(arg.iv_number));
      if (record.iv_kind == TAVU_RECORD_BINARY)
        text += ":" + std::string(record.iv_data.begin(), record.iv_data.end());
    }
    return buffer.iv_problems.empty() ? text : text + " !";
  }
  // What a stray writer could do to the file: a word at `at` replaced.
  uint32_t poke(const char* name, off_t at, uint32_t word) {
    const int fd = open((std::string("t/") + name).c_str(), O_RDWR);
    uint32_t was = 0;
    EXPECT_EQ(pread(fd, &was, sizeof was, at) + pwrite(fd, &word, sizeof word, at), 8);
    close(fd);
    return was;
  }

  char iv_dir[32] = "/tmp/tavu-trace.XXXXXX";
};

TEST_F(TraceRing, EntriesKeepTheirArgumentsHeadsAndOrder) {
  const trace_kelu_desc_t desc = create("ROUND", 32000);
  const uint8_t head[12] = {};
  EXPECT_EQ(trace_kelu_write_all(desc, 1, " %s,%s,%d,%x", 10, 0, "p", nullptr, -42, 0xdeadbeefu),
            0);
  trace_kelu_write_all(desc, 2, " %s,%d", 11, 0, std::string(1500, 'L').c_str(), INT32_MIN);
  trace_kelu_write_all(desc, 3, " %s,%u,%d", 12, 0, "kept", 7u, 8);  // %u: the arguments end
  EXPECT_EQ(trace_kelu_write2(desc, 0, sizeof head, head, 3, "abc") +
                trace_kelu_write2(desc, 0, sizeof head, head, 0, nullptr) +
                trace_kelu_write2(desc, 0, 0, nullptr, 3, "abc"),
            0);
  // Exactly as long as a string may be: kept whole, and not marked cut.
  trace_kelu_write_all(desc, 4, " %s", 13, 0, std::string(1024, 'K').c_str());
  EXPECT_EQ(entries("ROUND"),
            "0:1:10:0:p:(null):-42:-559038737 1:2:11:2:" + std::string(1024, 'L') +
                ":-2147483648 2:3:12:1:kept 3:0:0:0:abc 4:0:0:0: 5:0:0:0:abc 6:4:13:0:" +
                std::string(1024, 'K'));
  // Anyone may read it.
  EXPECT_EQ(std::filesystem::status("t/ROUND").permissions(), std::filesystem::perms{0644});
}

TEST_F(TraceRing, WrapAroundKeepsTheNewestWholeEntries) {
  const trace_kelu_desc_t desc = create("WRAP", 270);
  for (int i = 0; i < 100; ++i) trace_kelu_write_all(desc, 0, " %d", 0, 0, i);
  // 40 head bytes and 5 of argument: six whole entries fill 270 exactly.
  EXPECT_EQ(entries("WRAP"),
            "94:0:0:0:94 95:0:0:0:95 96:0:0:0:96 97:0:0:0:97 98:0:0:0:98 99:0:0:0:99");
  // An entry larger than the whole ring is refused and costs nothing; one
  // of 94 bytes takes the place of the three oldest.
  const std::vector<uint8_t> huge(256);
  errno = 0;
  EXPECT_EQ(trace_kelu_write2(desc, 0, 12, huge.data(), 256, huge.data()), -1);
  EXPECT_EQ(errno, EMSGSIZE);
  errno = 0;
  EXPECT_EQ(trace_kelu_write_all(desc, 0, " %s", 0, 0, std::string(256, 'h').c_str()), -1);
  EXPECT_EQ(errno, EMSGSIZE);
  trace_kelu_write2(desc, 0, 0, nullptr, 50, std::string(50, 'w').c_str());
  EXPECT_EQ(entries("WRAP"),
            "97:0:0:0:97 98:0:0:0:98 99:0:0:0:99 100:0:0:0:" + std::string(50, 'w'));
  // Odd while an entry is written, for readers to copy again: two steps an entry.
  EXPECT_EQ(poke("WRAP", offsetof(tavuTraceFileHeader, generation), 0), 2 * 101u);
}

// The reader tells damage and does not follow it; the writer trusts
// nothing of the file either and starts the ring afresh.
TEST_F(TraceRing, DamageIsToldNotFollowed) {
  const trace_kelu_desc_t desc = create("DAMAGE", 256);
  for (int i = 0; i < 5; ++i) trace_kelu_write_all(desc, 0, " %d", 0, 0, i);
  const off_t ring = TAVU_TRACE_HEADER_SIZE, oldest = offsetof(tavuTraceFileHeader, oldest);
  poke("DAMAGE", ring + 45 + 41, 7);  // the second entry's argument
  EXPECT_EQ(entries("DAMAGE").substr(0, 10) + entries("DAMAGE").back(), "0:0:0:0:0 !");
  // The oldest entry, at the ring's start, now longer than all the ring
  // holds: the next write drops every entry.
  poke("DAMAGE", ring, 0xffff);
  trace_kelu_write_all(desc, 0, " %d", 0, 0, 8);
  EXPECT_EQ(entries("DAMAGE"), "5:0:0:0:8");
  // Offsets out of the ring, the first one past it: refused by the reader, reset by the writer.
  poke("DAMAGE", oldest, 256);
  EXPECT_EQ(entries("DAMAGE"), " !");
  trace_kelu_write_all(desc, 0, " %d", 0, 0, 9);
  EXPECT_EQ(entries("DAMAGE"), "6:0:0:0:9");
  poke("DAMAGE", offsetof(tavuTraceFileHeader, next), 256);  // just past the ring's end
  trace_kelu_write_all(desc, 0, " %d", 0, 0, 10);
  EXPECT_EQ(entries("DAMAGE"), "7:0:0:0:10");
}

TEST_F(TraceRing, BadNamesSizesAndDescriptorsAreRefused) {
  trace_kelu_desc_t desc = 7;
  for (const char* name : {"", ".", "..", "a/b", "0123456789abcdef0123456789abcdef"}) {
    errno = 0;
    EXPECT_EQ(trace_kelu_init_buffer(&desc, name, 256), -1) << name;
    EXPECT_EQ(errno, EINVAL) << name;
  }
  EXPECT_EQ(
      trace_kelu_init_buffer(&desc, "S", 255) + trace_kelu_init_buffer(&desc, "L", (64u << 20) + 1),
      -2);
  EXPECT_EQ(desc, TRACE_KELU_NO_BUFFER);
  // Heads alone: six fill 240 bytes, the seventh takes the first's place.
  // Made again, a buffer starts empty under the same descriptor.
  const trace_kelu_desc_t first = create("AGAIN", 256);
  for (int i = 0; i < 7; ++i) trace_kelu_write_all(first, 1, "", 1, 0);
  EXPECT_EQ(entries("AGAIN"), "1:1:1:0 2:1:1:0 3:1:1:0 4:1:1:0 5:1:1:0 6:1:1:0");
  EXPECT_EQ(create("AGAIN", 256), first);
  EXPECT_EQ(entries("AGAIN"), "");
  for (const trace_kelu_desc_t bad : {TRACE_KELU_NO_BUFFER, first + 1, 0u}) {
    EXPECT_EQ(trace_kelu_write_all(bad, 1, " %d", 1, 0, 1) +
                  trace_kelu_write2(bad, 0, 1, "x", 0, nullptr),
              -2);
  }
  EXPECT_EQ(trace_kelu_write2(first, 0, 0, nullptr, 1, nullptr), -1);  // a size without bytes
  // And no more than the stand-in's 64 at once; one past the last names none.
  int result = 0;
  trace_kelu_desc_t last = first;
  const long held = tavuDescriptors("self");  // a buffer's file is mapped, not held open
  for (int i = 0; i < 64 && result == 0; ++i) {
    result = trace_kelu_init_buffer(&desc, ("S" + std::to_string(i)).c_str(), 256);
    last = result == 0 ? std::max(last, desc) : last;
  }
  EXPECT_EQ(result, -1);
  EXPECT_EQ(trace_kelu_write2(last + 1, 0, 1, "x", 0, nullptr), -1);
  EXPECT_EQ(tavuDescriptors("self"), held);
}

}  // namespace
