// Decoding buffer images: both byte orders (built here byte by byte, apart
// from the writer), truncated at every length, and with random damage.
#include "tools/tavutrace/trace_decode.h"

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/trace_buffer_format.h"
#include "platform/trace_kelu.h"
#include "tests/platform/trace_test_dir.h"

namespace {

// Bytes of a buffer image in a chosen byte order.
class ImageBytes {
 public:
  explicit ImageBytes(bool bigEndian) : iv_big(bigEndian) {}
  void u16(uint16_t value) { number(value, 2); }
  void u32(uint32_t value) { number(value, 4); }
  void text(const std::string& value, std::size_t width) {
    std::string padded = value;
    padded.resize(width, '\0');
    iv_bytes.insert(iv_bytes.end(), padded.begin(), padded.end());
  }
  void raw(const std::vector<uint8_t>& value) {
    iv_bytes.insert(iv_bytes.end(), value.begin(), value.end());
  }
  std::vector<uint8_t>& bytes() { return iv_bytes; }

 private:
  void number(uint32_t value, int width) {
    for (int i = 0; i < width; ++i) {
      const int shift = iv_big ? 8 * (width - 1 - i) : 8 * i;
      iv_bytes.push_back(static_cast<uint8_t>(value >> shift));
    }
  }
  bool iv_big;
  std::vector<uint8_t> iv_bytes;
};

struct RingState {
  uint32_t ringSize, oldest, next, used, held, written;
};

std::vector<uint8_t> headerBytes(bool big, const RingState& state) {
  ImageBytes image(big);
  image.raw(std::vector<uint8_t>(TAVU_TRACE_MAGIC, TAVU_TRACE_MAGIC + 8));
  for (const uint32_t word :
       {TAVU_TRACE_BYTE_ORDER_MARK, TAVU_TRACE_LAYOUT_VERSION, uint32_t{TAVU_TRACE_HEADER_SIZE},
        state.ringSize, 2u, state.oldest, state.next, state.used, state.held, state.written}) {
    image.u32(word);
  }
  image.text("HAND", TAVU_TRACE_NAME_MAX);
  image.text("hand-made-build", TAVU_TRACE_BUILD_MAX);
  return image.bytes();
}

// An entry with its check, as the writer of that byte order would store it.
std::vector<uint8_t> entryBytes(bool big, uint32_t seq, uint16_t kind, uint16_t count,
                                uint32_t hash, uint32_t line, const std::vector<uint8_t>& payload) {
  ImageBytes entry(big);
  entry.u32(static_cast<uint32_t>(TAVU_TRACE_ENTRY_HEAD_SIZE + payload.size()));
  entry.u32(0);
  entry.u32(seq);
  entry.u16(kind);
  entry.u16(count);
  entry.u16(0);
  entry.u16(0);
  for (const uint32_t word : {0u, 1700000000u, 123456789u, hash, line}) entry.u32(word);
  entry.raw(payload);
  const uint32_t check =
      tavuTraceCheckAdd(tavuTraceCheckStart(), entry.bytes().data(), entry.bytes().size());
  ImageBytes checkBytes(big);
  checkBytes.u32(check);
  std::memcpy(&entry.bytes()[TAVU_TRACE_CHECK_OFFSET], checkBytes.bytes().data(), 4);
  return entry.bytes();
}

// One argument entry and one binary entry; the second runs over the ring's end.
std::vector<uint8_t> handMadeImage(bool big) {
  ImageBytes args(big);
  args.raw({'s'});
  args.u16(2);
  args.raw({'a', 'b', 'd'});
  args.u32(static_cast<uint32_t>(-7));
  args.raw({'x'});
  args.u32(0x80000001u);
  ImageBytes binary(big);
  binary.u32(12);
  binary.u16(3);
  binary.u16(0x4644);
  binary.u32(0x01020304);
  binary.u32(99);
  binary.raw({'a', 0, 'b'});
  const std::vector<uint8_t> first =
      entryBytes(big, 41, TAVU_TRACE_ENTRY_ARGS, 3, 0xA1B2C3D4, 12, args.bytes());
  const std::vector<uint8_t> second =
      entryBytes(big, 42, TAVU_TRACE_ENTRY_CHUNKS, 0, 0, 0, binary.bytes());
  const uint32_t ringSize = 256;
  const uint32_t oldest = 180;
  const auto used = static_cast<uint32_t>(first.size() + second.size());
  std::vector<uint8_t> ring(ringSize, 0xEE);
  std::vector<uint8_t> entries = first;
  entries.insert(entries.end(), second.begin(), second.end());
  for (std::size_t i = 0; i < entries.size(); ++i) ring[(oldest + i) % ringSize] = entries[i];
  std::vector<uint8_t> image =
      headerBytes(big, {ringSize, oldest, (oldest + used) % ringSize, used, 2, 43});
  image.insert(image.end(), ring.begin(), ring.end());
  return image;
}

TEST(TraceDecode, EitherByteOrderDecodesTheSame) {
  for (const bool big : {false, true}) {
    SCOPED_TRACE(big ? "big-endian" : "little-endian");
    tavuTraceBuffer buffer;
    std::string error;
    ASSERT_TRUE(tavuDecodeTraceBuffer(handMadeImage(big), &buffer, &error)) << error;
    EXPECT_TRUE(buffer.problems.empty()) << buffer.problems.front();
    EXPECT_EQ(buffer.bigEndian, big);
    EXPECT_EQ(buffer.name, "HAND");
    EXPECT_EQ(buffer.buildId, "hand-made-build");
    EXPECT_EQ(buffer.size, 256u);
    EXPECT_EQ(buffer.entriesWritten, 43u);
    ASSERT_EQ(buffer.records.size(), 2u);
    const tavuTraceRecord& args = buffer.records[0];
    EXPECT_EQ(args.seq, 41u);
    EXPECT_EQ(args.seconds, 1700000000);
    EXPECT_EQ(args.nanoseconds, 123456789u);
    EXPECT_EQ(args.hash, 0xA1B2C3D4u);
    EXPECT_EQ(args.line, 12u);
    EXPECT_EQ(args.format, " %s,%d,%x");
    ASSERT_EQ(args.args.size(), 3u);
    EXPECT_EQ(args.args[0].text, "ab");
    EXPECT_EQ(args.args[1].number, -7);
    EXPECT_EQ(static_cast<uint32_t>(args.args[2].number), 0x80000001u);
    const tavuTraceRecord& binary = buffer.records[1];
    EXPECT_EQ(binary.kind, tavuTraceRecord::BINARY);
    EXPECT_EQ(binary.binaryLength, 3u);
    EXPECT_EQ(binary.binaryTag, 0x4644u);
    EXPECT_EQ(binary.hash, 0x01020304u);
    EXPECT_EQ(binary.line, 99u);
    EXPECT_EQ(binary.data, (std::vector<uint8_t>{'a', 0, 'b'}));
  }
}

TEST(TraceDecode, ImagesThatAreNoTraceBufferAreRefused) {
  const struct {
    const char* what;
    std::size_t offset;  // of the byte changed in a good image
    uint8_t value;
  } cases[] = {
      {"magic", 0, 'X'},
      {"byte order mark", offsetof(tavuTraceFileHeader, byteOrderMark), 0x55},
      {"layout version", offsetof(tavuTraceFileHeader, layoutVersion), 0x09},
      {"header size", offsetof(tavuTraceFileHeader, headerSize), 0x40},
      {"ring size", offsetof(tavuTraceFileHeader, ringSize), 0x7f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> image = handMadeImage(true);
    image[c.offset] = c.value;
    tavuTraceBuffer buffer;
    std::string error;
    EXPECT_FALSE(tavuDecodeTraceBuffer(image, &buffer, &error));
    EXPECT_FALSE(error.empty());
  }
  tavuTraceBuffer buffer;
  std::string error;
  EXPECT_FALSE(tavuDecodeTraceBuffer({}, &buffer, &error));
  EXPECT_FALSE(tavuReadTraceBufferFile("/proc/self/no-such-file", &buffer, &error));
  EXPECT_NE(error.find("no-such-file"), std::string::npos);
}

// Entry i of a real buffer: an argument entry or, every third, a binary one.
void writeEntry(trace_kelu_desc_t desc, uint32_t i) {
  if (i % 3 == 2) {
    std::vector<uint8_t> head(12, 0);
    const std::vector<uint8_t> data(i % 29, static_cast<uint8_t>(i));
    std::memcpy(&head[4], &i, 4);
    trace_kelu_write2(desc, 0, 12, head.data(), static_cast<uint32_t>(data.size()), data.data());
  } else {
    trace_kelu_write_all(desc, i, " %s,%d", i, 0, std::string(i % 17, 'q').c_str(),
                         static_cast<int32_t>(i));
  }
}

// Whether a decoded record is exactly entry `seq` as written.
bool isEntryAsWritten(const tavuTraceRecord& record) {
  const uint32_t i = record.seq;
  if (record.hash != i) return false;
  if (i % 3 == 2) {
    return record.kind == tavuTraceRecord::BINARY &&
           record.data == std::vector<uint8_t>(i % 29, static_cast<uint8_t>(i));
  }
  return record.kind == tavuTraceRecord::ARGS && record.line == i && record.args.size() == 2 &&
         record.args[0].text == std::string(i % 17, 'q') &&
         record.args[1].number == static_cast<int32_t>(i);
}

std::vector<uint8_t> writtenImage(const char* name, uint32_t ringSize, uint32_t entries) {
  const trace_kelu_desc_t desc = tavuMakeTestBuffer(name, ringSize);
  for (uint32_t i = 0; i < entries; ++i) writeEntry(desc, i);
  return tavuReadBytes(tavuTraceBufferPath(name));
}

TEST(TraceDecode, TruncationAtEveryLengthDecodesWhatIsThere) {
  tavuScopedTraceDir dir;
  const std::vector<uint8_t> image = writtenImage("TRUNC", 256, 40);
  tavuTraceBuffer whole;
  std::string error;
  ASSERT_TRUE(tavuDecodeTraceBuffer(image, &whole, &error)) << error;
  ASSERT_TRUE(whole.problems.empty());
  ASSERT_GE(whole.records.size(), 3u);
  for (std::size_t length = 0; length < image.size(); ++length) {
    SCOPED_TRACE("length " + std::to_string(length));
    const std::vector<uint8_t> cut(image.begin(),
                                   image.begin() + static_cast<std::ptrdiff_t>(length));
    tavuTraceBuffer buffer;
    if (!tavuDecodeTraceBuffer(cut, &buffer, &error)) {
      EXPECT_LT(length, TAVU_TRACE_HEADER_SIZE);
      continue;
    }
    EXPECT_GE(length, TAVU_TRACE_HEADER_SIZE);
    ASSERT_FALSE(buffer.problems.empty());
    EXPECT_NE(buffer.problems.front().find("truncated"), std::string::npos);
    for (const tavuTraceRecord& record : buffer.records) EXPECT_TRUE(isEntryAsWritten(record));
  }
}

TEST(TraceDecode, RandomDamageNeverYieldsAForgedEntry) {
  tavuScopedTraceDir dir;
  const std::vector<uint8_t> image = writtenImage("FLIPS", 512, 120);
  tavuTraceBuffer whole;
  std::string error;
  ASSERT_TRUE(tavuDecodeTraceBuffer(image, &whole, &error)) << error;
  std::mt19937 random(20261206);
  std::uniform_int_distribution<std::size_t> anyByte(0, image.size() - 1);
  std::uniform_int_distribution<int> anyFlip(1, 255);
  int partial = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> damaged = image;
    const int flips = 1 + round % 3;
    for (int i = 0; i < flips; ++i)
      damaged[anyByte(random)] ^= static_cast<uint8_t>(anyFlip(random));
    tavuTraceBuffer buffer;
    if (!tavuDecodeTraceBuffer(damaged, &buffer, &error)) continue;
    for (const tavuTraceRecord& record : buffer.records) {
      ASSERT_TRUE(isEntryAsWritten(record)) << "round " << round << " seq " << record.seq;
    }
    if (!buffer.problems.empty()) {
      ++partial;
    } else {
      // Damage that goes unreported must not have cost an entry.
      ASSERT_EQ(buffer.records.size(), whole.records.size()) << "round " << round;
    }
  }
  EXPECT_GT(partial, 100) << "damage was hardly ever noticed";
}

TEST(TraceDecode, DamagedRingOffsetsAreReportedNotFollowed) {
  tavuScopedTraceDir dir;
  std::vector<uint8_t> image = writtenImage("OFFSETS", 512, 10);
  const uint32_t outside = 4096;
  std::memcpy(&image[offsetof(tavuTraceFileHeader, oldest)], &outside, 4);
  tavuTraceBuffer buffer;
  std::string error;
  ASSERT_TRUE(tavuDecodeTraceBuffer(image, &buffer, &error)) << error;
  EXPECT_TRUE(buffer.records.empty());
  ASSERT_FALSE(buffer.problems.empty());
  EXPECT_NE(buffer.problems.front().find("out of range"), std::string::npos);
}

}  // namespace
