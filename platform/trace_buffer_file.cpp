#include "trace_ring.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifndef TAVU_BUILD_ID
#define TAVU_BUILD_ID "unknown"
#endif

namespace {

// mkdir -p: every missing component of `dir`.
int tavuMakeDirectories(const char* dir) {
  char partial[4096];
  const std::size_t length = std::strlen(dir);
  if (length == 0 || length >= sizeof partial) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(partial, dir, length + 1);
  for (std::size_t i = 1; i <= length; ++i) {
    if (partial[i] != '/' && partial[i] != '\0') continue;
    const char saved = partial[i];
    partial[i] = '\0';
    if (mkdir(partial, 0755) != 0 && errno != EEXIST) return -1;
    partial[i] = saved;
  }
  return 0;
}

// A new inode, so that a reader still holding the previous run's file keeps
// a consistent copy of it.
int tavuOpenFresh(const char* path) {
  if (unlink(path) != 0 && errno != ENOENT) return -1;
  return open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
}

void tavuFillHeader(tavuTraceFileHeader* header, const char* name, uint32_t ringSize) {
  header->byteOrderMark = TAVU_TRACE_BYTE_ORDER_MARK;
  header->layoutVersion = TAVU_TRACE_LAYOUT_VERSION;
  header->headerSize = TAVU_TRACE_HEADER_SIZE;
  header->ringSize = ringSize;
  std::snprintf(header->name, sizeof header->name, "%s", name);
  std::snprintf(header->buildId, sizeof header->buildId, "%s", TAVU_BUILD_ID);
  // Last: a reader that finds the magic finds the rest too.
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
  std::memcpy(header->magic, TAVU_TRACE_MAGIC, sizeof header->magic);
}

}  // namespace

std::size_t tavuTraceFileLength(uint32_t ringSize) {
  return TAVU_TRACE_HEADER_SIZE + ringSize;
}

int tavuTraceFilePath(const char* name, char* path, std::size_t capacity) {
  const char* dir = tavuTraceDir();
  if (tavuMakeDirectories(dir) != 0) return -1;
  const int length = std::snprintf(path, capacity, "%s/%s", dir, name);
  if (length < 0 || static_cast<std::size_t>(length) >= capacity) {
    errno = ENAMETOOLONG;
    return -1;
  }
  return 0;
}

tavuTraceFileHeader* tavuCreateTraceFile(const char* path, const char* name, uint32_t ringSize) {
  const int fd = tavuOpenFresh(path);
  if (fd < 0) return nullptr;
  const std::size_t length = tavuTraceFileLength(ringSize);
  void* map = MAP_FAILED;
  if (ftruncate(fd, static_cast<off_t>(length)) == 0) {
    map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  const int savedErrno = errno;
  close(fd);
  if (map == MAP_FAILED) {
    unlink(path);
    errno = savedErrno;
    return nullptr;
  }
  auto* header = static_cast<tavuTraceFileHeader*>(map);
  tavuFillHeader(header, name, ringSize);
  return header;
}
