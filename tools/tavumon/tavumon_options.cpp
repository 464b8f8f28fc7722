#include "tools/tavumon/tavumon_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tools/common/option_walk.h"

const char TAVUMON_USAGE[] =
    "Usage: tavumon [OPTION]...\n"
    "Connects to the tavunetlink daemon, completes the handshake, and prints each\n"
    "hot-plug event the daemon delivers, one line per event, acknowledging each.\n"
    "\n"
    "  --serial N         handshake serial number; the first event carries N+1\n"
    "                     (default 0; any 32-bit number, negative ones too)\n"
    "  --count N          stop after N events (N >= 1)\n"
    "  --json             print one JSON object per line instead of text\n"
    "  -h, --help         print this text and exit\n"
    "\n"
    "Misbehaving on purpose, to test the daemon:\n"
    "  --ack-delay MS     wait MS milliseconds before each acknowledgment\n"
    "  --no-ack           never acknowledge (the daemon then sends nothing more)\n"
    "  --wrong-ack KIND   acknowledge wrongly: serial (the previous number),\n"
    "                     length (payload length 1), signature (0x87654321),\n"
    "                     short (only the first 6 of the 12 bytes)\n"
    "  --close-after N    close the connection once the N-th event has arrived,\n"
    "                     without acknowledging that one\n"
    "  --handshake-split  send the handshake's header and text in two writes\n"
    "\n"
    "Each line reads\n"
    "  time=2026-01-31T12:00:00Z action=add seq=812 link=0 tlor=0 "
    "path=/class/uart/ttyS1 type=uart serial=1\n"
    "with the action add, remove or none, and bytes outside printable ASCII in\n"
    "the texts written as \\xNN. With --json:\n"
    "  {\"serial\":1,\"time\":1769860800,\"action\":\"add\",\"action_code\":1,\"seq\":812,\n"
    "   \"link\":0,\"tlor\":0,\"path\":\"/class/uart/ttyS1\",\"type\":\"uart\"}\n"
    "Output is flushed after every line.\n"
    "\n"
    "Exit status:\n"
    "  0  done: the requested events arrived, or the daemon went away\n"
    "  1  connection or protocol error (no daemon, handshake refused,\n"
    "     malformed message)\n"
    "  2  bad usage\n";

namespace {

// A whole decimal word within [low, 2^31 - 1].
bool tavumonParseNumber(const char* word, int32_t low, int32_t* value) {
  if (word == nullptr || *word == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(word, &end, 10);
  if (errno != 0 || *end != '\0' || number < low || number > INT32_MAX) return false;
  *value = static_cast<int32_t>(number);
  return true;
}

bool tavumonParseWrongAck(const char* word, tavumonWrongAck* kind) {
  static const struct {
    const char* name;
    tavumonWrongAck kind;
  } kinds[] = {{"serial", tavumonWrongAck::SERIAL},
               {"length", tavumonWrongAck::LENGTH},
               {"signature", tavumonWrongAck::SIGNATURE},
               {"short", tavumonWrongAck::SHORT}};
  if (word == nullptr) return false;
  for (const auto& entry : kinds) {
    if (std::strcmp(word, entry.name) == 0) {
      *kind = entry.kind;
      return true;
    }
  }
  return false;
}

// Applies one option that takes a value.
bool tavumonApplyValue(const std::string& name, const char* value, tavumonOptions* options,
                       std::string* error) {
  bool ok = false;
  if (name == "--serial") {
    ok = tavumonParseNumber(value, INT32_MIN, &options->iv_serial);
  } else if (name == "--count") {
    ok = tavumonParseNumber(value, 1, &options->iv_count);
  } else if (name == "--ack-delay") {
    ok = tavumonParseNumber(value, 0, &options->iv_ackDelayMs);
  } else if (name == "--close-after") {
    ok = tavumonParseNumber(value, 1, &options->iv_closeAfter);
  } else if (name == "--wrong-ack") {
    ok = tavumonParseWrongAck(value, &options->iv_wrongAck);
  }
  if (!ok) {
    *error = "bad value '" + std::string(value) + "' for " + name;
  }
  return ok;
}

bool tavumonTakesValue(const std::string& name) {
  return name == "--serial" || name == "--count" || name == "--ack-delay" ||
         name == "--close-after" || name == "--wrong-ack";
}

// Applies one option without a value.
bool tavumonApplyFlag(const std::string& name, tavumonOptions* options, std::string* error) {
  if (name == "--json") {
    options->iv_json = true;
  } else if (name == "--no-ack") {
    options->iv_noAck = true;
  } else if (name == "--handshake-split") {
    options->iv_handshakeSplit = true;
  } else if (name == "-h" || name == "--help") {
    options->iv_help = true;
  } else if (name.empty() || name[0] != '-') {
    *error = "unexpected argument '" + name + "'";
    return false;
  } else {
    *error = "unknown option " + name;
    return false;
  }
  return true;
}

}  // namespace

bool tavumonParseOptions(int argc, char* const* argv, tavumonOptions* options, std::string* error) {
  if (!tavuWalkOptions(argc, argv, options, tavumonTakesValue, tavumonApplyValue, tavumonApplyFlag,
                       error)) {
    return false;
  }
  if (options->iv_noAck && options->iv_wrongAck != tavumonWrongAck::NONE) {
    *error = "--no-ack and --wrong-ack exclude each other";
    return false;
  }
  return true;
}
