// Event messages to the client and their acknowledgments. The wire image
// of one event: five numbers, then the path and type texts with their NULs,
// in host byte order and without padding.
#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "client_channel.h"
#include "queues.h"
#include "report.h"

TAVU_REPORTS_AS("tavunetlink_SendToClient")

int32_t g_msgSerialNum = 0;

namespace {

static_assert(TAVUCLIENT_NUMBERS_SIZE == 5 * sizeof(int32_t), "five numbers open the payload");

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

// Reports write 1 as "add" and every other code, 0 included, as "rmv".
const char* tavuActionWord(const tavuNetlinkEvent& event) {
  return event.iv_action == TAVU_ACTION_ADD ? "add" : "rmv";
}

// Records from the interpreter always carry both texts; others may not.
const char* tavuTextOrEmpty(const char* text) {
  return text != nullptr ? text : "";
}

// Wraps from the largest 32-bit number to the most negative, computed
// unsigned because signed overflow is undefined.
int32_t tavuNextSerialNum(int32_t serialNum) {
  return static_cast<int32_t>(static_cast<uint32_t>(serialNum) + 1u);
}

// One send for the whole message; a partly sent message is not completed.
bool tavuSendEventMessage(const char* message, std::size_t size, const tavuNetlinkEvent& event) {
  ssize_t sent;
  do {
    errno = 0;  // a short count leaves errno untouched; report 0 then
    sent = send(g_clientSockfd.load(std::memory_order_acquire), message, size, MSG_NOSIGNAL);
  } while (sent == -1 && errno == EINTR);
  if (sent == static_cast<ssize_t>(size)) return true;
  return TAVU_REPORTED(false,
                       "%s:%s: Send error errno=%d, netlinkEvent dropped: iv_action=%s, iv_seq=%d, "
                       "iv_type=%s, iv_path=%s\n",
                       errno, tavuActionWord(event), event.iv_seq, tavuTextOrEmpty(event.iv_type),
                       tavuTextOrEmpty(event.iv_path));
}

void tavuTraceSent(const tavuNetlinkEvent& event, int32_t sentToClient) {
  TAVU_TRACE(
      "%s:%s: sent %s seq=%d type=%s path=%s, totalNetlinkEvents=%d, totalTavuEvents=%d, "
      "sentToClient=%d\n",
      tavuActionWord(event), event.iv_seq, tavuTextOrEmpty(event.iv_type),
      tavuTextOrEmpty(event.iv_path), g_totalNetlinkEvents.load(), g_totalTavuEvents.load(),
      sentToClient);
}

// One receive of at most 12 bytes: an acknowledgment written in pieces
// fails, and bytes beyond 12 start the next one.
bool tavuReceiveAcknowledgment(tavunetlinkMsgHeader* ack, const tavuNetlinkEvent& event) {
  unsigned char bytes[sizeof(tavunetlinkMsgHeader)];
  ssize_t received;
  do {
    received = recv(g_clientSockfd.load(std::memory_order_acquire), bytes, sizeof bytes, 0);
  } while (received == -1 && errno == EINTR);
  if (received == -1) {
    return TAVU_REPORTED(false,
                         "%s:%s: Acknowledge message recv error, errno=%d, on netlinkEvent sent: "
                         "iv_action=%s, iv_seq=%d, iv_type=%s, iv_path=%s\n",
                         errno, tavuActionWord(event), event.iv_seq, tavuTextOrEmpty(event.iv_type),
                         tavuTextOrEmpty(event.iv_path));
  }
  if (received != static_cast<ssize_t>(sizeof bytes)) {
    return TAVU_REPORTED(false,
                         "%s:%s: Acknowledge message length incorrect, expected=%d, actual=%d\n",
                         static_cast<int32_t>(sizeof bytes), static_cast<int32_t>(received));
  }
  *ack = tavuLoadMsgHeader(bytes);
  return true;
}

void tavuCheckAcknowledgment(const tavunetlinkMsgHeader& ack) {
  if (ack.signature == TAVUCLIENT_SIGNATURE && ack.serialNum == g_msgSerialNum &&
      ack.payloadLength == 0) {
    return;
  }
  TAVU_REPORT(
      "%s:%s: Acknowledge message didn't match sent message, signature(exp=0x%x,act=0x%x), "
      "serialnum(exp=%d,act=%d), length(exp=%d,act=%d)\n",
      TAVUCLIENT_SIGNATURE, ack.signature, g_msgSerialNum, ack.serialNum, 0, ack.payloadLength);
}

void tavuDeliverMessage(const char* message, std::size_t size, const tavuNetlinkEvent& event) {
  if (!tavuSendEventMessage(message, size, event)) return;
  // Counted once the socket took every byte, acknowledged or not.
  const int32_t sentToClient = g_sentToClient.fetch_add(1, std::memory_order_relaxed) + 1;
  tavuTraceSent(event, sentToClient);
  tavunetlinkMsgHeader ack;
  if (tavuReceiveAcknowledgment(&ack, event)) tavuCheckAcknowledgment(ack);
}

}  // namespace

char* tavunetlink_BuildEventPayload(const tavuNetlinkEvent* event, uint32_t* length) {
  const std::size_t pathLength = tavuTextLength(event->iv_path);
  const std::size_t typeLength = tavuTextLength(event->iv_type);
  const std::size_t size = TAVUCLIENT_NUMBERS_SIZE + pathLength + 1 + typeLength + 1;
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

// A failed event is reported and dropped, never sent again; its serial
// number stays used, so the client sees the gap.
void tavunetlink_SendToClient(tavuNetlinkEvent* event) {
  uint32_t payloadLength = 0;
  char* payload = tavunetlink_BuildEventPayload(event, &payloadLength);
  g_msgSerialNum = tavuNextSerialNum(g_msgSerialNum);
  const std::size_t size = sizeof(tavunetlinkMsgHeader) + payloadLength;
  char* message = payload != nullptr ? static_cast<char*>(std::malloc(size)) : nullptr;
  if (message == nullptr) {
    TAVU_REPORT(
        "%s:%s: Out of memory, netlinkEvent dropped: iv_action=%s, iv_seq=%d, iv_type=%s, "
        "iv_path=%s\n",
        tavuActionWord(*event), event->iv_seq, tavuTextOrEmpty(event->iv_type),
        tavuTextOrEmpty(event->iv_path));
  } else {
    const tavunetlinkMsgHeader header{TAVUCLIENT_SIGNATURE, g_msgSerialNum,
                                      static_cast<int32_t>(payloadLength)};
    std::memcpy(message, &header, sizeof header);
    std::memcpy(message + sizeof header, payload, payloadLength);
    tavuDeliverMessage(message, size, *event);
  }
  std::free(payload);
  std::free(message);
}
