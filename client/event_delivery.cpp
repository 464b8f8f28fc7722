#include "client/event_delivery.h"

#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "client/msg_header.h"
#include "daemon/globals.h"
#include "daemon/report.h"

namespace {

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
bool tavuSendMessage(const char* message, std::size_t size, const tavuNetlinkEvent& event) {
  ssize_t sent;
  do {
    errno = 0;  // a short count leaves errno untouched; report 0 then
    sent = send(g_clientSockfd.load(std::memory_order_acquire), message, size, MSG_NOSIGNAL);
  } while (sent == -1 && errno == EINTR);
  if (sent == static_cast<ssize_t>(size)) return true;
  TAVU_REPORT(
      "%s:%s: Send error errno=%d, netlinkEvent dropped: iv_action=%s, iv_seq=%d, iv_type=%s, "
      "iv_path=%s\n",
      g_progName, "tavunetlink_SendToClient", errno, tavuActionWord(event), event.iv_seq,
      tavuTextOrEmpty(event.iv_type), tavuTextOrEmpty(event.iv_path));
  return false;
}

void tavuTraceSent(const tavuNetlinkEvent& event, int32_t sentToClient) {
  TAVU_TRACE(
      "%s:%s: sent %s seq=%d type=%s path=%s, totalNetlinkEvents=%d, totalTavuEvents=%d, "
      "sentToClient=%d\n",
      g_progName, "tavunetlink_SendToClient", tavuActionWord(event), event.iv_seq,
      tavuTextOrEmpty(event.iv_type), tavuTextOrEmpty(event.iv_path), g_totalNetlinkEvents.load(),
      g_totalTavuEvents.load(), sentToClient);
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
    TAVU_REPORT(
        "%s:%s: Acknowledge message recv error, errno=%d, on netlinkEvent sent: iv_action=%s, "
        "iv_seq=%d, iv_type=%s, iv_path=%s\n",
        g_progName, "tavunetlink_SendToClient", errno, tavuActionWord(event), event.iv_seq,
        tavuTextOrEmpty(event.iv_type), tavuTextOrEmpty(event.iv_path));
    return false;
  }
  if (received != static_cast<ssize_t>(sizeof bytes)) {
    TAVU_REPORT("%s:%s: Acknowledge message length incorrect, expected=%d, actual=%d\n", g_progName,
                "tavunetlink_SendToClient", static_cast<int32_t>(sizeof bytes),
                static_cast<int32_t>(received));
    return false;
  }
  *ack = tavuLoadMsgHeader(bytes);
  return true;
}

void tavuCheckAcknowledgment(const tavunetlinkMsgHeader& ack) {
  if (ack.signature == TAVU_MSG_SIGNATURE && ack.serialNum == g_msgSerialNum &&
      ack.payloadLength == 0) {
    return;
  }
  TAVU_REPORT(
      "%s:%s: Acknowledge message didn't match sent message, signature(exp=0x%x,act=0x%x), "
      "serialnum(exp=%d,act=%d), length(exp=%d,act=%d)\n",
      g_progName, "tavunetlink_SendToClient", TAVU_MSG_SIGNATURE, ack.signature, g_msgSerialNum,
      ack.serialNum, 0, ack.payloadLength);
}

void tavuDeliverMessage(const char* message, std::size_t size, const tavuNetlinkEvent& event) {
  if (!tavuSendMessage(message, size, event)) return;
  // Counted once the socket took every byte, acknowledged or not.
  const int32_t sentToClient = g_sentToClient.fetch_add(1, std::memory_order_relaxed) + 1;
  tavuTraceSent(event, sentToClient);
  tavunetlinkMsgHeader ack;
  if (tavuReceiveAcknowledgment(&ack, event)) tavuCheckAcknowledgment(ack);
}

}  // namespace

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
        g_progName, "tavunetlink_SendToClient", tavuActionWord(*event), event->iv_seq,
        tavuTextOrEmpty(event->iv_type), tavuTextOrEmpty(event->iv_path));
  } else {
    const tavunetlinkMsgHeader header{TAVU_MSG_SIGNATURE, g_msgSerialNum,
                                      static_cast<int32_t>(payloadLength)};
    std::memcpy(message, &header, sizeof header);
    std::memcpy(message + sizeof header, payload, payloadLength);
    tavuDeliverMessage(message, size, *event);
  }
  std::free(payload);
  std::free(message);
}
