// A client that speaks the wire protocol byte by byte, with no library in
// between, so that tests see exactly what the daemon sends.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "client/msg_header.h"

struct tavuWireEvent {
  tavunetlinkMsgHeader header{};
  std::string payload;  // exactly payloadLength bytes
  // Decoded from the payload (host byte order).
  int32_t time = 0, action = 0, seq = 0, link = 0, tlor = 0;
  std::string path, type;
};

// The payload the daemon must send for these fields: five 32-bit numbers in
// host order, then the path and the type, each with its NUL.
std::string tavuExpectedPayload(int32_t time, int32_t action, int32_t seq, int32_t link,
                                int32_t tlor, const std::string& path, const std::string& type);

class tavuRawClient {
 public:
  tavuRawClient() = default;
  ~tavuRawClient();
  tavuRawClient(const tavuRawClient&) = delete;
  tavuRawClient& operator=(const tavuRawClient&) = delete;

  // Connects to the daemon's abstract socket (all 108 path bytes, length
  // 110), retrying until `timeoutMs` has passed.
  bool connect(int timeoutMs = 10000);
  // Sends the 29-byte handshake in one write and reads the 12-byte reply.
  bool handshake(int32_t serial, tavunetlinkMsgHeader* reply = nullptr);
  bool sendBytes(const std::string& bytes);
  // Reads one whole message; false on timeout, end of stream or bad size.
  bool readEvent(tavuWireEvent* event, int timeoutMs = 10000);
  bool acknowledge(int32_t serial);
  // True when no byte arrives within `ms` (the stream stays open).
  bool quietFor(int ms);
  // True when the daemon has closed its end (read gives 0) within `ms`.
  bool closedWithin(int ms);
  void close();
  // Takes over an already connected stream (one end of a socket pair).
  void adopt(int fd) {
    close();
    iv_fd = fd;
  }
  int fd() const { return iv_fd; }

 private:
  int iv_fd = -1;
};

// Connects to "\0tavunetlinksocket" given with `addressLength` bytes of
// address; returns the socket or -1 with errno.
int tavuConnectClientSocket(socklen_t addressLength);

// Up to `size` bytes from `fd`: fewer when the stream ends or nothing
// arrives for `timeoutMs`.
std::string tavuReadBytes(int fd, size_t size, int timeoutMs = 10000);

// The handshake message the daemon expects.
std::string tavuHandshakeBytes(int32_t serial);
