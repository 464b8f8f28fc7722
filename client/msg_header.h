// The 12-byte header that opens every message on the client socket, in
// host byte order, packed.
#pragma once

#include <cstdint>
#include <cstring>

struct tavunetlinkMsgHeader {
  uint32_t signature;  // TAVU_MSG_SIGNATURE
  int32_t serialNum;
  int32_t payloadLength;  // bytes after the header
};
static_assert(sizeof(tavunetlinkMsgHeader) == 12, "the message header is 12 bytes");

constexpr uint32_t TAVU_MSG_SIGNATURE = 0x12345678;

// Received bytes carry no alignment, so the header is copied out of them.
inline tavunetlinkMsgHeader tavuLoadMsgHeader(const void* bytes) {
  tavunetlinkMsgHeader header;
  std::memcpy(&header, bytes, sizeof header);
  return header;
}
