// The trace facility stand-in, read back through the decoder: entries keep
// their arguments, the ring keeps the newest whole entries, concurrent
// writers lose nothing, and bad descriptors or arguments do no harm.
#include "platform/trace_kelu.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/trace_buffer_format.h"
#include "tests/platform/trace_test_dir.h"
#include "tools/tavutrace/trace_decode.h"

namespace {

tavuTraceArg S(const std::string& text) {
  return tavuTextArg(text);
}
tavuTraceArg D(int32_t number) {
  return tavuNumberArg('d', static_cast<uint32_t>(number));
}
tavuTraceArg X(uint32_t number) {
  return tavuNumberArg('x', number);
}

void expectSameArgs(const std::vector<tavuTraceArg>& actual,
                    const std::vector<tavuTraceArg>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) {
    EXPECT_EQ(actual[i].type, expected[i].type) << "argument " << i;
    if (expected[i].type == 's') {
      EXPECT_EQ(actual[i].text, expected[i].text) << "argument " << i;
    } else {
      EXPECT_EQ(actual[i].number, expected[i].number) << "argument " << i;
    }
  }
}

int64_t nowSeconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec;
}

// The daemon's binary entry head, in this machine's byte order.
std::vector<uint8_t> binaryHead(uint16_t length, uint32_t hash, uint32_t line) {
  std::vector<uint8_t> head(12);
  const uint16_t tag = 0x4644;
  std::memcpy(&head[0], &length, 2);
  std::memcpy(&head[2], &tag, 2);
  std::memcpy(&head[4], &hash, 4);
  std::memcpy(&head[8], &line, 4);
  return head;
}

struct ExpectedEntry {
  uint32_t hash;
  uint32_t line;
  const char* format;
  std::vector<tavuTraceArg> args;
  uint16_t flags;
};

TEST(TraceKelu, ArgumentEntriesRoundTripWithTheirArguments) {
  tavuScopedTraceDir dir;
  const trace_kelu_desc_t desc = tavuMakeTestBuffer("ROUND", 32000);
  const std::string longText(1500, 'L');
  const int64_t before = nowSeconds();
  ASSERT_EQ(trace_kelu_write_all(desc, 0xA1, " %s,%s", 10, 0, "tavunetlink", "main"), 0);
  ASSERT_EQ(trace_kelu_write_all(desc, 0xA2, " %s,%s,%d,%x", 11, 0, "p", "f", -42, 0xdeadbeefu), 0);
  ASSERT_EQ(trace_kelu_write_all(desc, 0xA3, "", 12, 0), 0);
  ASSERT_EQ(
      trace_kelu_write_all(desc, 0xA4, " %s,%s", 13, 0, "", static_cast<const char*>(nullptr)), 0);
  ASSERT_EQ(trace_kelu_write_all(desc, 0xA5, " %s,%d", 14, 0, longText.c_str(), INT32_MIN), 0);
  ASSERT_EQ(trace_kelu_write_all(desc, 0xA6, " %s,%u,%d", 15, 0, "kept", 7u, 8), 0);
  const int64_t after = nowSeconds();

  const std::vector<ExpectedEntry> expected = {
      {0xA1, 10, " %s,%s", {S("tavunetlink"), S("main")}, 0},
      {0xA2, 11, " %s,%s,%d,%x", {S("p"), S("f"), D(-42), X(0xdeadbeef)}, 0},
      {0xA3, 12, "", {}, 0},
      {0xA4, 13, " %s,%s", {S(""), S("(null)")}, 0},
      {0xA5,
       14,
       " %s,%d",
       {S(longText.substr(0, TAVU_TRACE_STRING_MAX)), D(INT32_MIN)},
       TAVU_TRACE_FLAG_STRING_CUT},
      {0xA6, 15, " %s", {S("kept")}, TAVU_TRACE_FLAG_FORMAT_CUT},
  };
  const tavuTraceBuffer buffer = tavuDecodeTestBuffer("ROUND");
  EXPECT_TRUE(buffer.problems.empty()) << buffer.problems.front();
  ASSERT_EQ(buffer.records.size(), expected.size());
  int64_t previous = before;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("entry " + std::to_string(i));
    const tavuTraceRecord& record = buffer.records[i];
    EXPECT_EQ(record.seq, i);
    EXPECT_EQ(record.kind, tavuTraceRecord::ARGS);
    EXPECT_EQ(record.hash, expected[i].hash);
    EXPECT_EQ(record.line, expected[i].line);
    EXPECT_EQ(record.format, expected[i].format);
    EXPECT_EQ(record.flags, expected[i].flags);
    expectSameArgs(record.args, expected[i].args);
    EXPECT_GE(record.seconds, previous);
    EXPECT_LE(record.seconds, after);
    EXPECT_LT(record.nanoseconds, 1000000000u);
    previous = record.seconds;
  }
}

TEST(TraceKelu, BinaryEntriesKeepTheirHeadAndData) {
  tavuScopedTraceDir dir;
  const trace_kelu_desc_t desc = tavuMakeTestBuffer("BINARY", 32000);
  std::vector<uint8_t> datagram = {'a', 'd', 'd', '@', '/', 'x', 0, 'S', 'E', 'Q', '=', '5', 0};
  for (int i = 0; i < 256; ++i) datagram.push_back(static_cast<uint8_t>(i));
  const auto length = static_cast<uint16_t>(datagram.size());
  const std::vector<uint8_t> head = binaryHead(length, 0xCAFEF00D, 321);
  const uint8_t notAHead[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(trace_kelu_write2(desc, 0, 12, head.data(), length, datagram.data()), 0);
  ASSERT_EQ(trace_kelu_write2(desc, 0, 12, binaryHead(0, 7, 8).data(), 0, nullptr), 0);
  ASSERT_EQ(trace_kelu_write2(desc, 0, sizeof notAHead, notAHead, 2, "zz"), 0);

  const tavuTraceBuffer buffer = tavuDecodeTestBuffer("BINARY");
  EXPECT_TRUE(buffer.problems.empty());
  ASSERT_EQ(buffer.records.size(), 3u);
  const tavuTraceRecord& full = buffer.records[0];
  EXPECT_EQ(full.kind, tavuTraceRecord::BINARY);
  EXPECT_TRUE(full.binaryHead);
  EXPECT_EQ(full.binaryLength, length);
  EXPECT_EQ(full.binaryTag, 0x4644);
  EXPECT_EQ(full.hash, 0xCAFEF00Du);
  EXPECT_EQ(full.line, 321u);
  EXPECT_EQ(full.data, datagram);
  const tavuTraceRecord& empty = buffer.records[1];
  EXPECT_TRUE(empty.binaryHead);
  EXPECT_EQ(empty.hash, 7u);
  EXPECT_TRUE(empty.data.empty());
  // A first chunk that is no entry head is kept with the data.
  const tavuTraceRecord& raw = buffer.records[2];
  EXPECT_FALSE(raw.binaryHead);
  EXPECT_EQ(raw.data, (std::vector<uint8_t>{1, 2, 3, 4, 5, 'z', 'z'}));
}

TEST(TraceKelu, FileHeaderDescribesTheBufferAndItsWriter) {
  tavuScopedTraceDir dir;
  // The directory is made when missing, however deep.
  const std::string nested = dir.path() + "/run/trace";
  setenv("TAVU_TRACE_DIR", nested.c_str(), 1);
  const trace_kelu_desc_t desc = tavuMakeTestBuffer("TAVUNL", 32000);
  for (int i = 0; i < 3; ++i) trace_kelu_write_all(desc, 1, " %d", 2, 0, i);

  const std::string path = nested + "/TAVUNL";
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, static_cast<off_t>(TAVU_TRACE_HEADER_SIZE + 32000));
  const tavuTraceBuffer buffer = tavuDecodeTestBuffer("TAVUNL");
  EXPECT_EQ(buffer.name, "TAVUNL");
  EXPECT_EQ(buffer.size, 32000u);
  EXPECT_EQ(buffer.bigEndian, __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__);
  EXPECT_EQ(buffer.buildId, TAVU_BUILD_ID);
  EXPECT_EQ(buffer.layoutVersion, TAVU_TRACE_LAYOUT_VERSION);
  EXPECT_EQ(buffer.entriesWritten, 3u);
  EXPECT_EQ(buffer.entriesHeld, 3u);
  unlink(path.c_str());
  rmdir(nested.c_str());
  rmdir((dir.path() + "/run").c_str());
}

TEST(TraceKelu, InitStartsTheNamedBufferAfresh) {
  tavuScopedTraceDir dir;
  const trace_kelu_desc_t first = tavuMakeTestBuffer("FRESH", 4096);
  for (int i = 0; i < 5; ++i) trace_kelu_write_all(first, 1, " %d", 2, 0, i);
  const int oldFile = open(dir.file("FRESH").c_str(), O_RDONLY);
  ASSERT_GE(oldFile, 0);

  const trace_kelu_desc_t second = tavuMakeTestBuffer("FRESH", 4096);
  const tavuTraceBuffer fresh = tavuDecodeTestBuffer("FRESH");
  EXPECT_EQ(fresh.records.size(), 0u);
  EXPECT_EQ(fresh.entriesWritten, 0u);
  trace_kelu_write_all(second, 1, " %d", 2, 0, 99);
  EXPECT_EQ(tavuDecodeTestBuffer("FRESH").records.size(), 1u);

  // A reader that opened the previous run's file still reads it whole.
  std::vector<uint8_t> image(TAVU_TRACE_HEADER_SIZE + 4096);
  ASSERT_EQ(pread(oldFile, image.data(), image.size(), 0), static_cast<ssize_t>(image.size()));
  close(oldFile);
  tavuTraceBuffer old;
  std::string error;
  ASSERT_TRUE(tavuDecodeTraceBuffer(image, &old, &error)) << error;
  EXPECT_EQ(old.records.size(), 5u);
}

TEST(TraceKelu, InitRefusesBadNamesAndSizes) {
  tavuScopedTraceDir dir;
  const std::string tooLong(TAVU_TRACE_NAME_MAX, 'N');
  const struct {
    const char* name;
    uint32_t size;
  } cases[] = {
      {nullptr, 4096},
      {"", 4096},
      {"a/b", 4096},
      {".", 4096},
      {"..", 4096},
      {tooLong.c_str(), 4096},
      {"OK", 0},
      {"OK", TAVU_TRACE_RING_MIN - 1},
      {"OK", TAVU_TRACE_RING_MAX + 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name != nullptr ? c.name : "(null)") + " " + std::to_string(c.size));
    trace_kelu_desc_t desc = 0x1234;
    errno = 0;
    EXPECT_EQ(trace_kelu_init_buffer(&desc, c.name, c.size), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(desc, TRACE_KELU_NO_BUFFER);
  }
  EXPECT_NE(access(dir.file("OK").c_str(), F_OK), 0) << "a refused buffer left a file";
  errno = 0;
  EXPECT_EQ(trace_kelu_init_buffer(nullptr, "OK", 4096), -1);
  EXPECT_EQ(errno, EINVAL);
  // The limits themselves are accepted.
  tavuMakeTestBuffer(tooLong.substr(1).c_str(), TAVU_TRACE_RING_MIN);

  setenv("TAVU_TRACE_DIR", "/proc/self/no-such-directory", 1);
  trace_kelu_desc_t desc = 0x1234;
  EXPECT_EQ(trace_kelu_init_buffer(&desc, "OK", 4096), -1);
  EXPECT_EQ(desc, TRACE_KELU_NO_BUFFER);
}

// Entry i of the wrap-around test: mostly argument entries of varied
// length, every fifth a binary entry of varied length.
bool wrapEntryIsBinary(uint32_t i) {
  return i % 5 == 4;
}
std::string wrapText(uint32_t i) {
  return std::string(i % 23, static_cast<char>('a' + i % 26));
}
std::vector<uint8_t> wrapData(uint32_t i) {
  std::vector<uint8_t> data(i % 37);
  for (std::size_t k = 0; k < data.size(); ++k) data[k] = static_cast<uint8_t>(i + k);
  return data;
}
uint32_t wrapEntrySize(uint32_t i) {
  if (wrapEntryIsBinary(i)) return 40 + 4 + 12 + static_cast<uint32_t>(wrapData(i).size());
  return 40 + (1 + 2 + static_cast<uint32_t>(wrapText(i).size())) + (1 + 4);
}

void writeWrapEntry(trace_kelu_desc_t desc, uint32_t i) {
  if (wrapEntryIsBinary(i)) {
    const std::vector<uint8_t> data = wrapData(i);
    const std::vector<uint8_t> head = binaryHead(static_cast<uint16_t>(data.size()), i, i);
    ASSERT_EQ(trace_kelu_write2(desc, 0, 12, head.data(), static_cast<uint32_t>(data.size()),
                                data.data()),
              0);
  } else {
    ASSERT_EQ(trace_kelu_write_all(desc, i, " %s,%d", i, 0, wrapText(i).c_str(),
                                   -static_cast<int32_t>(i)),
              0);
  }
}

void expectWrapEntry(const tavuTraceRecord& record) {
  const uint32_t i = record.seq;
  SCOPED_TRACE("seq " + std::to_string(i));
  EXPECT_EQ(record.hash, i);
  EXPECT_EQ(record.line, i);
  if (wrapEntryIsBinary(i)) {
    EXPECT_EQ(record.kind, tavuTraceRecord::BINARY);
    EXPECT_EQ(record.data, wrapData(i));
  } else {
    EXPECT_EQ(record.kind, tavuTraceRecord::ARGS);
    expectSameArgs(record.args, {S(wrapText(i)), D(-static_cast<int32_t>(i))});
  }
}

TEST(TraceKelu, WrapAroundKeepsTheNewestWholeEntries) {
  tavuScopedTraceDir dir;
  constexpr uint32_t ring = 512;
  constexpr uint32_t count = 300;
  const trace_kelu_desc_t desc = tavuMakeTestBuffer("WRAP", ring);
  for (uint32_t i = 0; i < count; ++i) writeWrapEntry(desc, i);

  const tavuTraceBuffer buffer = tavuDecodeTestBuffer("WRAP");
  EXPECT_TRUE(buffer.problems.empty()) << buffer.problems.front();
  ASSERT_GE(buffer.records.size(), 5u);
  EXPECT_EQ(buffer.records.back().seq, count - 1);
  EXPECT_EQ(buffer.entriesWritten, count);
  EXPECT_EQ(buffer.entriesHeld, buffer.records.size());
  uint32_t held = 0;
  for (std::size_t k = 0; k < buffer.records.size(); ++k) {
    EXPECT_EQ(buffer.records[k].seq, buffer.records.front().seq + k);
    expectWrapEntry(buffer.records[k]);
    held += wrapEntrySize(buffer.records[k].seq);
  }
  // Only as many old entries were dropped as the new ones needed.
  EXPECT_LE(held, ring);
  EXPECT_GT(held + wrapEntrySize(buffer.records.front().seq - 1), ring);

  // An entry bigger than the ring is dropped and costs nothing.
  const std::vector<uint8_t> huge(ring);
  errno = 0;
  EXPECT_EQ(trace_kelu_write2(desc, 0, 12, binaryHead(0, 1, 1).data(), ring, huge.data()), -1);
  EXPECT_EQ(errno, EMSGSIZE);
  const tavuTraceBuffer after = tavuDecodeTestBuffer("WRAP");
  ASSERT_EQ(after.records.size(), buffer.records.size());
  EXPECT_EQ(after.records.front().seq, buffer.records.front().seq);
  EXPECT_EQ(after.entriesWritten, count);
}

constexpr int WRITER_THREADS = 4;
constexpr int32_t ENTRIES_PER_THREAD = 2000;
const char* const WRITER_NAMES[WRITER_THREADS] = {"alpha", "beta", "gamma", "delta"};

// Every tenth entry of a writer is binary, carrying the writer and the count.
void writeThreadEntry(trace_kelu_desc_t desc, int32_t writer, int32_t n) {
  if (n % 10 == 9) {
    const int32_t data[2] = {writer, n};
    const std::vector<uint8_t> head =
        binaryHead(sizeof data, 0xB0 + writer, static_cast<uint32_t>(n));
    trace_kelu_write2(desc, 0, 12, head.data(), sizeof data, data);
  } else {
    trace_kelu_write_all(desc, 0xA0 + writer, " %s,%d,%d", static_cast<uint32_t>(n), 0,
                         WRITER_NAMES[writer], writer, n);
  }
}

// The writer and count an entry carries, checking that it is intact.
bool threadEntryOrigin(const tavuTraceRecord& record, int32_t* writer, int32_t* n) {
  if (record.kind == tavuTraceRecord::BINARY) {
    int32_t data[2];
    if (record.data.size() != sizeof data) return false;
    std::memcpy(data, record.data.data(), sizeof data);
    *writer = data[0];
    *n = data[1];
    return *writer >= 0 && *writer < WRITER_THREADS && record.hash == 0xB0u + *writer &&
           record.line == static_cast<uint32_t>(*n) && *n % 10 == 9;
  }
  if (record.args.size() != 3) return false;
  *writer = record.args[1].number;
  *n = record.args[2].number;
  return *writer >= 0 && *writer < WRITER_THREADS && record.args[0].text == WRITER_NAMES[*writer] &&
         record.hash == 0xA0u + *writer && record.line == static_cast<uint32_t>(*n);
}

TEST(TraceKelu, ConcurrentWritersLoseAndCorruptNothing) {
  tavuScopedTraceDir dir;
  const trace_kelu_desc_t desc = tavuMakeTestBuffer("THREADS", 1u << 20);
  std::vector<std::thread> writers;
  writers.reserve(WRITER_THREADS);
  for (int32_t w = 0; w < WRITER_THREADS; ++w) {
    writers.emplace_back([desc, w] {
      for (int32_t n = 0; n < ENTRIES_PER_THREAD; ++n) writeThreadEntry(desc, w, n);
    });
  }
  for (std::thread& writer : writers) writer.join();

  const tavuTraceBuffer buffer = tavuDecodeTestBuffer("THREADS");
  EXPECT_TRUE(buffer.problems.empty()) << buffer.problems.front();
  ASSERT_EQ(buffer.records.size(), static_cast<std::size_t>(WRITER_THREADS * ENTRIES_PER_THREAD));
  std::vector<int32_t> nextOf(WRITER_THREADS, 0);
  for (std::size_t k = 0; k < buffer.records.size(); ++k) {
    int32_t writer = -1;
    int32_t n = -1;
    ASSERT_EQ(buffer.records[k].seq, k);
    ASSERT_TRUE(threadEntryOrigin(buffer.records[k], &writer, &n)) << "entry " << k << " damaged";
    ASSERT_EQ(n, nextOf[writer]) << "writer " << writer << " out of order at entry " << k;
    ++nextOf[writer];
  }
}

TEST(TraceKelu, ReaderOfABusyBufferSeesOnlyWholeEntries) {
  tavuScopedTraceDir dir;
  const trace_kelu_desc_t desc = tavuMakeTestBuffer("BUSY", 4096);
  constexpr int READS = 50;
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  writers.reserve(2);
  for (int32_t w = 0; w < 2; ++w) {
    writers.emplace_back([desc, w, &stop] {
      for (int32_t n = 0; !stop.load() && n < INT32_MAX; ++n) writeThreadEntry(desc, w, n);
    });
  }
  int cleanReads = 0;
  const std::string path = dir.file("BUSY");
  for (int read = 0; read < READS; ++read) {
    tavuTraceBuffer buffer;
    std::string error;
    EXPECT_TRUE(tavuReadTraceBufferFile(path, &buffer, &error)) << error;
    for (const tavuTraceRecord& record : buffer.records) {
      int32_t writer = -1;
      int32_t n = -1;
      EXPECT_TRUE(threadEntryOrigin(record, &writer, &n)) << "a torn entry was decoded";
    }
    if (buffer.problems.empty()) ++cleanReads;
  }
  stop.store(true);
  for (std::thread& writer : writers) writer.join();
  EXPECT_GT(cleanReads, 0) << "no consistent copy in " << READS << " reads";
}

TEST(TraceKelu, WritesThroughUnknownDescriptorsAreDroppedHarmlessly) {
  tavuScopedTraceDir dir;
  const trace_kelu_desc_t desc = tavuMakeTestBuffer("DESC", 4096);
  ASSERT_EQ(trace_kelu_write_all(desc, 1, " %d", 1, 0, 1), 0);
  const trace_kelu_desc_t unknown[] = {
      TRACE_KELU_NO_BUFFER, 0, 1, 0x7fffffff, 0xDEADBEEF, desc + 0x10000, desc - 0x10000};
  const std::vector<uint8_t> head = binaryHead(1, 2, 3);
  for (const trace_kelu_desc_t bad : unknown) {
    SCOPED_TRACE(bad);
    errno = 0;
    EXPECT_EQ(trace_kelu_write_all(bad, 2, " %s,%d", 2, 0, "x", 2), -1);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(trace_kelu_write2(bad, 0, 12, head.data(), 1, "x"), -1);
    EXPECT_EQ(errno, EBADF);
  }
  // Missing format or chunks: dropped too.
  EXPECT_EQ(trace_kelu_write_all(desc, 3, nullptr, 3, 0), -1);
  EXPECT_EQ(trace_kelu_write2(desc, 0, 12, nullptr, 0, nullptr), -1);
  EXPECT_EQ(trace_kelu_write2(desc, 0, 12, head.data(), 4, nullptr), -1);

  const tavuTraceBuffer buffer = tavuDecodeTestBuffer("DESC");
  EXPECT_TRUE(buffer.problems.empty());
  ASSERT_EQ(buffer.records.size(), 1u);
  EXPECT_EQ(buffer.records[0].hash, 1u);
  EXPECT_EQ(buffer.entriesWritten, 1u);
}

}  // namespace
