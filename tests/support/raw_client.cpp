#include "tests/support/raw_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

void appendWord(std::string* out, int32_t value) {
  out->append(reinterpret_cast<const char*>(&value), sizeof value);
}

int32_t wordAt(const std::string& bytes, size_t offset) {
  int32_t value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

}  // namespace

std::string tavuExpectedPayload(int32_t time, int32_t action, int32_t seq, int32_t link,
                                int32_t tlor, const std::string& path, const std::string& type) {
  std::string payload;
  for (int32_t word : {time, action, seq, link, tlor}) appendWord(&payload, word);
  payload += path;
  payload.push_back('\0');
  payload += type;
  payload.push_back('\0');
  return payload;
}

std::string tavuHandshakeBytes(int32_t serial) {
  std::string bytes;
  appendWord(&bytes, static_cast<int32_t>(TAVU_MSG_SIGNATURE));
  appendWord(&bytes, serial);
  appendWord(&bytes, 17);
  bytes.append("ready to receive", 16);
  bytes.push_back('\0');
  return bytes;
}

tavuRawClient::~tavuRawClient() {
  close();
}

int tavuConnectClientSocket(socklen_t addressLength) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, "tavunetlinksocket", 17);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), addressLength) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

std::string tavuReadBytes(int fd, size_t size, int timeoutMs) {
  std::string bytes(size, '\0');
  size_t have = 0;
  while (have < size) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, timeoutMs) != 1) break;
    const ssize_t n = recv(fd, &bytes[have], size - have, 0);
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  bytes.resize(have);
  return bytes;
}

bool tavuRawClient::connect(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    iv_fd = tavuConnectClientSocket(sizeof(sockaddr_un));
    if (iv_fd >= 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

bool tavuRawClient::sendBytes(const std::string& bytes) {
  return send(iv_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
         static_cast<ssize_t>(bytes.size());
}

bool tavuRawClient::handshake(int32_t serial, tavunetlinkMsgHeader* reply) {
  tavunetlinkMsgHeader header{};
  if (!sendBytes(tavuHandshakeBytes(serial))) return false;
  const std::string bytes = tavuReadBytes(iv_fd, sizeof header, 10000);
  if (bytes.size() != sizeof header) return false;
  std::memcpy(&header, bytes.data(), sizeof header);
  if (reply != nullptr) *reply = header;
  return header.signature == TAVU_MSG_SIGNATURE && header.serialNum == serial &&
         header.payloadLength == 0;
}

bool tavuRawClient::readEvent(tavuWireEvent* event, int timeoutMs) {
  const std::string header = tavuReadBytes(iv_fd, sizeof event->header, timeoutMs);
  if (header.size() != sizeof event->header) return false;
  std::memcpy(&event->header, header.data(), sizeof event->header);
  const int32_t length = event->header.payloadLength;
  if (length < 22 || length > 65536) return false;
  event->payload = tavuReadBytes(iv_fd, static_cast<size_t>(length), timeoutMs);
  if (event->payload.size() != static_cast<size_t>(length)) return false;
  event->time = wordAt(event->payload, 0);
  event->action = wordAt(event->payload, 4);
  event->seq = wordAt(event->payload, 8);
  event->link = wordAt(event->payload, 12);
  event->tlor = wordAt(event->payload, 16);
  event->path = event->payload.c_str() + 20;
  event->type = event->payload.c_str() + 21 + event->path.size();
  return true;
}

bool tavuRawClient::acknowledge(int32_t serial) {
  std::string bytes;
  appendWord(&bytes, static_cast<int32_t>(TAVU_MSG_SIGNATURE));
  appendWord(&bytes, serial);
  appendWord(&bytes, 0);
  return sendBytes(bytes);
}

bool tavuRawClient::quietFor(int ms) {
  pollfd ready{iv_fd, POLLIN, 0};
  return poll(&ready, 1, ms) == 0;
}

bool tavuRawClient::closedWithin(int ms) {
  pollfd ready{iv_fd, POLLIN, 0};
  if (poll(&ready, 1, ms) != 1) return false;
  char byte;
  return recv(iv_fd, &byte, 1, MSG_DONTWAIT) == 0;
}

void tavuRawClient::close() {
  if (iv_fd >= 0) ::close(iv_fd);
  iv_fd = -1;
}
