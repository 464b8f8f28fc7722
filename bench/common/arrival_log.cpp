#include "bench/common/arrival_log.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <new>

namespace {

constexpr uint32_t TAVU_ARRIVAL_MAGIC = 0x74617661;  // "tava"

size_t tavuArrivalFileSize(uint32_t capacity) {
  return sizeof(tavuArrivalHeader) + static_cast<size_t>(capacity) * sizeof(tavuArrival);
}

}  // namespace

tavuArrivalLog::~tavuArrivalLog() {
  if (iv_header != nullptr) munmap(iv_header, iv_size);
}

bool tavuArrivalLog::map(int fd, size_t size) {
  void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  const int error = errno;
  close(fd);
  if (base == MAP_FAILED) {
    errno = error;
    return false;
  }
  iv_header = static_cast<tavuArrivalHeader*>(base);
  iv_records = reinterpret_cast<tavuArrival*>(iv_header + 1);
  iv_size = size;
  return true;
}

bool tavuArrivalLog::create(const std::string& path, uint32_t capacity) {
  // Made under another name and renamed when whole, so that a reader never
  // maps a half-written header.
  const std::string part = path + ".part";
  const int fd = ::open(part.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const size_t size = tavuArrivalFileSize(capacity);
  if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return false;
  }
  if (!map(fd, size)) return false;
  new (iv_header) tavuArrivalHeader{TAVU_ARRIVAL_MAGIC, capacity, {TAVU_CLIENT_STARTING}, {0}};
  return rename(part.c_str(), path.c_str()) == 0;
}

bool tavuArrivalLog::open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  if (fstat(fd, &info) != 0 || static_cast<size_t>(info.st_size) < sizeof(tavuArrivalHeader)) {
    close(fd);
    errno = EINVAL;
    return false;
  }
  if (!map(fd, static_cast<size_t>(info.st_size))) return false;
  if (iv_header->magic != TAVU_ARRIVAL_MAGIC ||
      tavuArrivalFileSize(iv_header->capacity) > iv_size) {
    munmap(iv_header, iv_size);
    iv_header = nullptr;
    errno = EINVAL;
    return false;
  }
  return true;
}

bool tavuArrivalLog::append(const tavuArrival& arrival) {
  const uint32_t index = iv_header->count.load(std::memory_order_relaxed);
  if (index >= iv_header->capacity) return false;
  iv_records[index] = arrival;
  iv_header->count.store(index + 1, std::memory_order_release);
  return true;
}
