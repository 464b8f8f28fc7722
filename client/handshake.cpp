#include "client/handshake.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "daemon/globals.h"
#include "daemon/report.h"

bool tavuHandshakeMatches(const unsigned char* received, std::size_t count) {
  if (count != TAVU_HANDSHAKE_SIZE) return false;
  const tavunetlinkMsgHeader header = tavuLoadMsgHeader(received);
  if (header.signature != TAVU_MSG_SIGNATURE) return false;
  if (header.payloadLength != static_cast<int32_t>(TAVU_HANDSHAKE_TEXT_SIZE)) return false;
  return std::memcmp(received + sizeof header, TAVU_HANDSHAKE_TEXT, TAVU_HANDSHAKE_TEXT_SIZE) == 0;
}

void tavuReportHandshakeMismatch(const unsigned char* received, std::size_t count) {
  const auto length = static_cast<int32_t>(count);
  if (count <= sizeof(tavunetlinkMsgHeader)) {
    TAVU_REPORT("%s:%s: Exiting, received message didn't match what is expected, msglength=%d\n",
                g_progName, "tavunetlink_GetClientConnection", length);
    return;
  }
  const tavunetlinkMsgHeader header = tavuLoadMsgHeader(received);
  // The client's text may lack its NUL: show it only as far as it arrived.
  char text[TAVU_HANDSHAKE_TEXT_SIZE + 1] = {};
  const std::size_t textBytes = std::min(count - sizeof header, TAVU_HANDSHAKE_TEXT_SIZE);
  std::memcpy(text, received + sizeof header, textBytes);
  TAVU_REPORT(
      "%s:%s: Exiting, received message didn't match what is expected, msglength=%d, "
      "signature=0x%x, serialnum=%d, payloadLength=%d, message=%s\n",
      g_progName, "tavunetlink_GetClientConnection", length, header.signature, header.serialNum,
      header.payloadLength, static_cast<const char*>(text));
}
