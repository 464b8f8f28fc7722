// Reading a trace buffer: the file copied while its writer is between
// entries, its header, then the ring's entries from the oldest, each
// checked before it is believed.
#include "trace_decode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "text_format.h"
#include "trace_buffer_format.h"

namespace {

// A number in the writer's byte order.
template <typename Number>
Number tavuLoad(const uint8_t* bytes, bool swapped) {
  uint8_t copy[sizeof(Number)];
  std::memcpy(copy, bytes, sizeof copy);
  if (swapped) std::reverse(copy, copy + sizeof copy);
  Number value;
  std::memcpy(&value, copy, sizeof value);
  return value;
}

std::string tavuFixedText(const uint8_t* bytes, std::size_t capacity) {
  const auto* text = reinterpret_cast<const char*>(bytes);
  return std::string(text, strnlen(text, capacity));
}

// The ring as far as the image holds it.
struct tavuRingView {
  const uint8_t* iv_bytes;
  uint32_t iv_size;       // as the header says
  uint32_t iv_available;  // bytes present in the image
  bool iv_swapped;
};

bool tavuCopyOut(const tavuRingView& ring, uint32_t at, uint32_t length,
                 std::vector<uint8_t>* out) {
  out->resize(length);
  for (uint32_t i = 0; i < length; ++i) {
    const uint32_t offset = static_cast<uint32_t>((uint64_t{at} + i) % ring.iv_size);
    if (offset >= ring.iv_available) return false;
    (*out)[i] = ring.iv_bytes[offset];
  }
  return true;
}

// Bounds-checked walk through one entry's payload: `n` bytes off its
// front, or false when fewer are left.
struct tavuPayload {
  const uint8_t* iv_at;
  const uint8_t* iv_end;
  bool iv_swapped;
};

bool tavuTake(tavuPayload* payload, std::size_t n, const uint8_t** bytes) {
  if (static_cast<std::size_t>(payload->iv_end - payload->iv_at) < n) return false;
  *bytes = payload->iv_at;
  payload->iv_at += n;
  return true;
}

bool tavuParseArg(tavuPayload* payload, tavuTraceArg* arg) {
  const uint8_t* bytes = nullptr;
  if (!tavuTake(payload, 1, &bytes)) return false;
  arg->iv_type = static_cast<char>(*bytes);
  if (arg->iv_type == 's') {
    if (!tavuTake(payload, 2, &bytes)) return false;
    const uint16_t length = tavuLoad<uint16_t>(bytes, payload->iv_swapped);
    if (length > TAVU_TRACE_STRING_MAX || !tavuTake(payload, length, &bytes)) return false;
    arg->iv_text.assign(reinterpret_cast<const char*>(bytes), length);
    return true;
  }
  const bool number = (arg->iv_type == 'd' || arg->iv_type == 'x') && tavuTake(payload, 4, &bytes);
  if (number) arg->iv_number = static_cast<int32_t>(tavuLoad<uint32_t>(bytes, payload->iv_swapped));
  return number;
}

// A first chunk of 12 bytes is the daemon's binary entry head.
bool tavuParseChunks(tavuPayload payload, tavuTraceRecord* record) {
  const uint8_t* head = nullptr;
  if (!tavuTake(&payload, 4, &head)) return false;
  const uint32_t size1 = tavuLoad<uint32_t>(head, payload.iv_swapped);
  if (!tavuTake(&payload, size1, &head)) return false;
  record->iv_binaryHead = size1 == 12;
  if (record->iv_binaryHead) {
    record->iv_hash = tavuLoad<uint32_t>(head + 4, payload.iv_swapped);
    record->iv_line = tavuLoad<uint32_t>(head + 8, payload.iv_swapped);
  } else {
    payload.iv_at = head;
  }
  record->iv_data.assign(payload.iv_at, payload.iv_end);
  return true;
}

// Reads an entry's head; false when it cannot be one, so that a search
// through damaged bytes rarely has to check a whole would-be entry.
bool tavuParseHead(const uint8_t* head, bool swapped, tavuTraceRecord* record, uint16_t* count) {
  const auto half = [&](std::size_t at) { return tavuLoad<uint16_t>(head + at, swapped); };
  const auto word = [&](std::size_t at) { return tavuLoad<uint32_t>(head + at, swapped); };
  const uint16_t kind = half(offsetof(tavuTraceEntryHead, kind));
  *count = half(offsetof(tavuTraceEntryHead, count));
  record->iv_seq = word(offsetof(tavuTraceEntryHead, seq));
  record->iv_flags = half(offsetof(tavuTraceEntryHead, flags));
  const uint64_t high = word(offsetof(tavuTraceEntryHead, secondsHigh));
  record->iv_seconds =
      static_cast<int64_t>(high << 32 | word(offsetof(tavuTraceEntryHead, secondsLow)));
  record->iv_nanoseconds = word(offsetof(tavuTraceEntryHead, nanoseconds));
  record->iv_hash = word(offsetof(tavuTraceEntryHead, hash));
  record->iv_line = word(offsetof(tavuTraceEntryHead, line));
  record->iv_kind = kind == TAVU_TRACE_ENTRY_ARGS ? TAVU_RECORD_ARGS : TAVU_RECORD_BINARY;
  return (kind == TAVU_TRACE_ENTRY_ARGS || kind == TAVU_TRACE_ENTRY_CHUNKS) &&
         *count <= TAVU_TRACE_ARGS_MAX && half(offsetof(tavuTraceEntryHead, reserved)) == 0 &&
         record->iv_nanoseconds < 1000000000u;
}

// The entry at `at`, at most `limit` bytes long (at least a head's); its
// size, or 0 when the bytes there are not a whole, intact entry.
uint32_t tavuDecodeEntry(const tavuRingView& ring, uint32_t at, uint32_t limit,
                         tavuTraceRecord* record) {
  std::vector<uint8_t> entry;
  if (!tavuCopyOut(ring, at, TAVU_TRACE_ENTRY_HEAD_SIZE, &entry)) return 0;
  const uint32_t size = tavuLoad<uint32_t>(entry.data(), ring.iv_swapped);
  if (size < TAVU_TRACE_ENTRY_HEAD_SIZE || size > limit || size > ring.iv_available) return 0;
  uint16_t count = 0;  // at most TAVU_TRACE_ARGS_MAX once the head is read
  if (!tavuParseHead(entry.data(), ring.iv_swapped, record, &count)) return 0;
  if (!tavuCopyOut(ring, at, size, &entry)) return 0;
  // The check is over the whole entry with its own field as zero.
  const uint32_t check = tavuLoad<uint32_t>(&entry[TAVU_TRACE_CHECK_OFFSET], ring.iv_swapped);
  std::memset(&entry[TAVU_TRACE_CHECK_OFFSET], 0, sizeof check);
  if (check != tavuTraceCheckAdd(tavuTraceCheckStart(), entry.data(), size)) return 0;
  tavuPayload payload{entry.data() + TAVU_TRACE_ENTRY_HEAD_SIZE, entry.data() + size,
                      ring.iv_swapped};
  if (record->iv_kind == TAVU_RECORD_BINARY) return tavuParseChunks(payload, record) ? size : 0;
  record->iv_args.resize(count);
  for (tavuTraceArg& arg : record->iv_args) {
    if (!tavuParseArg(&payload, &arg)) return 0;
  }
  return payload.iv_at == payload.iv_end ? size : 0;
}

// One byte on, or past the part of the ring missing from a truncated
// file in one go: nothing can start there.
uint32_t tavuSkipLength(const tavuRingView& ring, uint32_t at, uint32_t remaining) {
  const uint32_t next = at + 1;
  if (next < ring.iv_available || next >= ring.iv_size) return 1;
  return 1 + std::min(ring.iv_size - next, remaining - 1);
}

// From the oldest entry on; damaged bytes are skipped up to the next
// entry whose check holds.
void tavuWalkRing(const tavuRingView& ring, uint32_t at, uint32_t remaining, tavuTraceBuffer* out) {
  uint32_t from = at;  // where the bytes being skipped begin
  uint32_t skipped = 0;
  const auto damaged = [&] {
    out->iv_problems.push_back(
        tavuFormat("damaged entry at ring offset %u: skipped %u bytes", from, skipped));
    skipped = 0;
  };
  while (remaining >= TAVU_TRACE_ENTRY_HEAD_SIZE) {
    tavuTraceRecord record;
    const uint32_t size = tavuDecodeEntry(ring, at, remaining, &record);
    if (size == 0 && skipped == 0) from = at;
    if (size != 0 && skipped != 0) damaged();
    if (size != 0) out->iv_records.push_back(std::move(record));
    const uint32_t step = size != 0 ? size : tavuSkipLength(ring, at, remaining);
    if (size == 0) skipped += step;
    at = (at + step) % ring.iv_size;
    remaining -= step;
  }
  if (skipped != 0) damaged();
  if (remaining > 0) {
    out->iv_problems.push_back(tavuFormat("%u stray bytes at ring offset %u", remaining, at));
  }
}

// The header's fixed fields; why this is no trace buffer, or "".
std::string tavuDecodeHeader(const std::vector<uint8_t>& image, tavuTraceBuffer* out,
                             bool* swapped) {
  if (image.size() < TAVU_TRACE_HEADER_SIZE)
    return "too short for a trace buffer (" + std::to_string(image.size()) + " bytes)";
  if (std::memcmp(image.data(), TAVU_TRACE_MAGIC, sizeof TAVU_TRACE_MAGIC) != 0)
    return "not a trace buffer (no magic)";
  const uint32_t mark =
      tavuLoad<uint32_t>(&image[offsetof(tavuTraceFileHeader, byteOrderMark)], false);
  if (mark != TAVU_TRACE_BYTE_ORDER_MARK && mark != __builtin_bswap32(TAVU_TRACE_BYTE_ORDER_MARK))
    return "damaged header: unknown byte order mark";
  *swapped = mark != TAVU_TRACE_BYTE_ORDER_MARK;
  const auto word = [&](std::size_t at) { return tavuLoad<uint32_t>(&image[at], *swapped); };
  out->iv_bigEndian = (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) != *swapped;
  out->iv_layoutVersion = word(offsetof(tavuTraceFileHeader, layoutVersion));
  if (out->iv_layoutVersion != TAVU_TRACE_LAYOUT_VERSION) {
    return tavuFormat("layout version %u is not supported (this decoder reads %u)",
                      out->iv_layoutVersion, TAVU_TRACE_LAYOUT_VERSION);
  }
  out->iv_size = word(offsetof(tavuTraceFileHeader, ringSize));
  out->iv_entriesWritten = word(offsetof(tavuTraceFileHeader, entriesWritten));
  out->iv_entriesHeld = word(offsetof(tavuTraceFileHeader, entriesHeld));
  out->iv_name = tavuFixedText(&image[offsetof(tavuTraceFileHeader, name)], TAVU_TRACE_NAME_MAX);
  out->iv_buildId =
      tavuFixedText(&image[offsetof(tavuTraceFileHeader, buildId)], TAVU_TRACE_BUILD_MAX);
  const uint32_t headerSize = word(offsetof(tavuTraceFileHeader, headerSize));
  if (headerSize != TAVU_TRACE_HEADER_SIZE || out->iv_size == 0 ||
      out->iv_size > TAVU_TRACE_RING_MAX) {
    return "damaged header: header or ring size out of range";
  }
  return "";
}

}  // namespace

bool tavuDecodeTraceBuffer(const std::vector<uint8_t>& image, tavuTraceBuffer* out,
                           std::string* error, bool headerOnly) {
  *out = tavuTraceBuffer();
  bool swapped = false;
  *error = tavuDecodeHeader(image, out, &swapped);
  if (!error->empty()) return false;
  if (headerOnly) return true;
  const auto word = [&](std::size_t at) { return tavuLoad<uint32_t>(&image[at], swapped); };
  const uint32_t oldest = word(offsetof(tavuTraceFileHeader, oldest));
  const uint32_t next = word(offsetof(tavuTraceFileHeader, next));
  const uint32_t used = word(offsetof(tavuTraceFileHeader, used));
  const std::size_t present = image.size() - TAVU_TRACE_HEADER_SIZE;
  const tavuRingView ring{image.data() + TAVU_TRACE_HEADER_SIZE, out->iv_size,
                          static_cast<uint32_t>(present < out->iv_size ? present : out->iv_size),
                          swapped};
  if (ring.iv_available < ring.iv_size) {
    out->iv_problems.push_back(tavuFormat("file truncated: the ring has %u of its %u bytes",
                                          ring.iv_available, ring.iv_size));
  }
  if (oldest >= ring.iv_size || next >= ring.iv_size || used > ring.iv_size) {
    out->iv_problems.push_back(
        tavuFormat("damaged header: ring offsets %u and %u out of range", oldest, used));
    return true;
  }
  if ((uint64_t{oldest} + used) % ring.iv_size != next) {
    out->iv_problems.push_back(
        tavuFormat("damaged header: oldest %u and next %u disagree", oldest, next));
  }
  tavuWalkRing(ring, oldest, used, out);
  if (out->iv_records.size() != out->iv_entriesHeld) {
    out->iv_problems.push_back(tavuFormat("header says %u entries, %u decoded", out->iv_entriesHeld,
                                          static_cast<uint32_t>(out->iv_records.size())));
  }
  return true;
}

// ---- The file ---------------------------------------------------------

constexpr int TAVU_READ_ATTEMPTS = 20;

// At most `limit` bytes of the file.
bool tavuReadAll(int fd, std::size_t limit, std::vector<uint8_t>* image) {
  struct stat file {};
  if (fstat(fd, &file) != 0) return false;
  image->resize(std::min(limit, static_cast<std::size_t>(file.st_size)));
  const ssize_t n = pread(fd, image->data(), image->size(), 0);
  if (n >= 0) image->resize(static_cast<std::size_t>(n));
  return n >= 0;
}

// The writer's generation is odd while it changes the ring; the copy is
// consistent when it was even and unchanged across the whole copy.
bool tavuCopyWasQuiet(int fd, const std::vector<uint8_t>& image) {
  const std::size_t at = offsetof(tavuTraceFileHeader, generation);
  uint8_t now[sizeof(uint32_t)];
  if (image.size() < TAVU_TRACE_HEADER_SIZE ||
      pread(fd, now, sizeof now, at) != static_cast<ssize_t>(sizeof now)) {
    return true;
  }
  const uint32_t mark =
      tavuLoad<uint32_t>(&image[offsetof(tavuTraceFileHeader, byteOrderMark)], false);
  return std::memcmp(now, &image[at], sizeof now) == 0 &&
         (tavuLoad<uint32_t>(now, mark != TAVU_TRACE_BYTE_ORDER_MARK) & 1) == 0;
}

bool tavuReadTraceBufferFile(const std::string& path, tavuTraceBuffer* out, std::string* error,
                             bool headerOnly) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const std::size_t limit = TAVU_TRACE_HEADER_SIZE + (headerOnly ? 0 : TAVU_TRACE_RING_MAX);
  std::vector<uint8_t> image;
  for (int attempt = 0; attempt < TAVU_READ_ATTEMPTS; ++attempt) {
    if (fd < 0 || !tavuReadAll(fd, limit, &image)) {
      *error = "cannot read '" + tavuEscapeText(path) + "': " + std::strerror(errno);
      if (fd >= 0) close(fd);
      return false;
    }
    if (tavuCopyWasQuiet(fd, image)) break;
    const timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
  close(fd);
  errno = 0;
  if (tavuDecodeTraceBuffer(image, out, error, headerOnly)) return true;
  *error = tavuEscapeText(path) + ": " + *error;
  return false;
}
