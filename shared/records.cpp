#include "records.h"

#include <cstdlib>
#include <cstring>

NetlinkDatagram* tavuNewDatagram(const char* bytes, ssize_t length) {
  auto* datagram = static_cast<NetlinkDatagram*>(std::calloc(1, sizeof(NetlinkDatagram)));
  if (datagram == nullptr) return nullptr;
  datagram->length = static_cast<int32_t>(length);
  const auto size = static_cast<size_t>(length);
  // malloc(0) may give null or a unique pointer; either is a valid empty copy.
  datagram->data = static_cast<char*>(std::malloc(size));
  if (size == 0) return datagram;
  if (datagram->data == nullptr) {
    std::free(datagram);
    return nullptr;
  }
  std::memcpy(datagram->data, bytes, size);
  return datagram;
}

void tavuFreeDatagram(NetlinkDatagram* datagram) {
  if (datagram == nullptr) return;
  std::free(datagram->data);
  std::free(datagram);
}

tavuNetlinkEvent::~tavuNetlinkEvent() {
  if (iv_path != nullptr) free(iv_path);
  if (iv_type != nullptr) free(iv_type);
}
