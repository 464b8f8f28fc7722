// The command line of tavumon.
#pragma once

#include <cstdint>
#include <string>

// Exit statuses, as the usage text lists them.
enum : int { TAVUMON_EXIT_OK = 0, TAVUMON_EXIT_FAILURE = 1, TAVUMON_EXIT_USAGE = 2 };

// How a deliberately wrong acknowledgment is wrong.
enum class tavumonWrongAck { NONE, SERIAL, LENGTH, SIGNATURE, SHORT };

struct tavumonOptions {
  int32_t iv_serial = 0;  // handshake serial number; the first event carries one more
  int32_t iv_count = 0;   // stop after this many events; 0: no limit
  bool iv_json = false;
  bool iv_help = false;
  // Misbehaviour, for testing the daemon.
  int32_t iv_ackDelayMs = 0;
  bool iv_noAck = false;
  tavumonWrongAck iv_wrongAck = tavumonWrongAck::NONE;
  int32_t iv_closeAfter = 0;  // close after receiving this many events; 0: never
  bool iv_handshakeSplit = false;
};

extern const char TAVUMON_USAGE[];

// Fills `options` from argv[1..]; returns false with a one-line `error`.
bool tavumonParseOptions(int argc, char* const* argv, tavumonOptions* options, std::string* error);
