// One datagram as received from the kernel uevent socket.
#pragma once

#include <cstdint>

struct NetlinkDatagram {
  int32_t length;  // bytes received
  char* data;      // malloc'd copy of exactly `length` bytes, no NUL added
};
