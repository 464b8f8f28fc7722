// Copying a trace buffer file that its writer may be changing meanwhile.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "text_format.h"
#include "trace_buffer_format.h"
#include "trace_decode.h"

namespace {

constexpr int TAVU_READ_ATTEMPTS = 20;
constexpr std::size_t TAVU_READ_LIMIT = TAVU_TRACE_HEADER_SIZE + TAVU_TRACE_RING_MAX;

// At most `limit` bytes of the file.
bool tavuReadAll(int fd, std::size_t limit, std::vector<uint8_t>* image) {
  image->clear();
  uint8_t chunk[65536];
  while (image->size() < limit) {
    const std::size_t wanted = std::min(sizeof chunk, limit - image->size());
    const ssize_t n = pread(fd, chunk, wanted, static_cast<off_t>(image->size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    image->insert(image->end(), chunk, chunk + n);
  }
  return true;
}

// The writer's generation is odd while it changes the ring; the copy is
// consistent when it was even and unchanged across the whole copy.
bool tavuCopyWasQuiet(int fd, const std::vector<uint8_t>& image) {
  const std::size_t at = offsetof(tavuTraceFileHeader, generation);
  uint32_t generation;
  uint32_t mark;
  if (image.size() < TAVU_TRACE_HEADER_SIZE ||
      pread(fd, &generation, sizeof generation, at) != static_cast<ssize_t>(sizeof generation)) {
    return true;
  }
  std::memcpy(&mark, &image[offsetof(tavuTraceFileHeader, byteOrderMark)], sizeof mark);
  if (std::memcmp(&generation, &image[at], sizeof generation) != 0) return false;
  // Its lowest bit is in the writer's lowest byte.
  return (generation & (mark == TAVU_TRACE_BYTE_ORDER_MARK ? 1u : 1u << 24)) == 0;
}

}  // namespace

bool tavuReadTraceBufferFile(const std::string& path, tavuTraceBuffer* out, std::string* error,
                             bool headerOnly) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<uint8_t> image;
  for (int attempt = 0; attempt < TAVU_READ_ATTEMPTS; ++attempt) {
    if (fd < 0 || !tavuReadAll(fd, headerOnly ? TAVU_TRACE_HEADER_SIZE : TAVU_READ_LIMIT, &image)) {
      *error = "cannot read '" + tavuEscapeText(path) + "': " + std::strerror(errno);
      if (fd >= 0) close(fd);
      return false;
    }
    if (tavuCopyWasQuiet(fd, image)) break;
    const timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
  close(fd);
  if (tavuDecodeTraceBuffer(image, out, error, headerOnly)) return true;
  *error = tavuEscapeText(path) + ": " + *error;
  return false;
}
