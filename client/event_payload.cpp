// The wire image of one event: five numbers, then the path and type texts
// with their NULs, in host byte order and without padding.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "client/event_delivery.h"

namespace {

constexpr std::size_t TAVU_PAYLOAD_NUMBERS_SIZE = 5 * sizeof(int32_t);

std::size_t tavuTextLength(const char* text) {
  return text != nullptr ? std::strlen(text) : 0;
}

char* tavuPutNumber(char* out, int32_t value) {
  std::memcpy(out, &value, sizeof value);
  return out + sizeof value;
}

// A missing text still takes its NUL byte.
char* tavuPutText(char* out, const char* text, std::size_t length) {
  if (length > 0) std::memcpy(out, text, length);
  out[length] = '\0';
  return out + length + 1;
}

}  // namespace

char* tavunetlink_BuildEventPayload(const tavuNetlinkEvent* event, uint32_t* length) {
  const std::size_t pathLength = tavuTextLength(event->iv_path);
  const std::size_t typeLength = tavuTextLength(event->iv_type);
  const std::size_t size = TAVU_PAYLOAD_NUMBERS_SIZE + pathLength + 1 + typeLength + 1;
  // payloadLength travels as a signed 32-bit number.
  char* payload = size <= INT32_MAX ? static_cast<char*>(std::malloc(size)) : nullptr;
  if (payload == nullptr) {
    *length = 0;
    return nullptr;
  }
  char* out = payload;
  // time_t is 32 bits on the board; a wider host clock is cut to the wire's width.
  out = tavuPutNumber(out, static_cast<int32_t>(event->iv_time));
  out = tavuPutNumber(out, event->iv_action);
  out = tavuPutNumber(out, event->iv_seq);
  out = tavuPutNumber(out, event->iv_link);
  out = tavuPutNumber(out, event->iv_tlor);
  out = tavuPutText(out, event->iv_path, pathLength);
  tavuPutText(out, event->iv_type, typeLength);
  *length = static_cast<uint32_t>(size);
  return payload;
}
