// Copying a trace buffer file that its writer may be changing meanwhile.
#include <fcntl.h>
#include <sys/stat.h>
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
