// The client's first message and how the daemon judges it.
#pragma once

#include <cstddef>

#include "client/msg_header.h"

// Sent with its NUL, after a header whose payloadLength counts that NUL.
constexpr char TAVU_HANDSHAKE_TEXT[] = "ready to receive";
constexpr std::size_t TAVU_HANDSHAKE_TEXT_SIZE = sizeof TAVU_HANDSHAKE_TEXT;
constexpr std::size_t TAVU_HANDSHAKE_SIZE = sizeof(tavunetlinkMsgHeader) + TAVU_HANDSHAKE_TEXT_SIZE;
static_assert(TAVU_HANDSHAKE_SIZE == 29, "the handshake is 29 bytes");

// Whether the `count` bytes received are a handshake; any serial number is.
bool tavuHandshakeMatches(const unsigned char* received, std::size_t count);

// The fatal mismatch report for the `count` bytes received (at most 29).
void tavuReportHandshakeMismatch(const unsigned char* received, std::size_t count);
