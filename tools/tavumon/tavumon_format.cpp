#include "tools/tavumon/tavumon_format.h"

#include <cstdio>
#include <ctime>

namespace {

std::string tavumonHexByte(const char* prefix, unsigned char byte) {
  char text[8];
  std::snprintf(text, sizeof text, "%s%02x", prefix, byte);
  return text;
}

// Keeps a line one line and its words separable: blanks, controls, the
// backslash and bytes beyond ASCII become \xNN.
std::string tavumonEscapeText(const char* text) {
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    if (byte <= 0x20 || byte >= 0x7f || byte == '\\') {
      out += tavumonHexByte("\\x", byte);
    } else {
      out += *p;
    }
  }
  return out;
}

// A JSON string; bytes beyond ASCII are written as \u00NN so that the
// output stays valid whatever the daemon sent.
std::string tavumonJsonString(const char* text) {
  std::string out = "\"";
  for (const char* p = text; *p != '\0'; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += *p;
    } else if (byte < 0x20 || byte >= 0x7f) {
      out += tavumonHexByte("\\u00", byte);
    } else {
      out += *p;
    }
  }
  return out + "\"";
}

// The daemon's clock in UTC, so the line means the same everywhere.
std::string tavumonUtcTime(int32_t seconds) {
  const time_t when = seconds;
  tm parts{};
  char text[32];
  if (gmtime_r(&when, &parts) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) {
    return std::to_string(seconds);
  }
  return text;
}

// A code the daemon never sends shows as its number.
std::string tavumonActionText(int32_t action) {
  const std::string name = tavuclient_action_name(action);
  return name == "unknown" ? std::to_string(action) : name;
}

}  // namespace

std::string tavumonFormatText(const tavuclient_event& event) {
  return "time=" + tavumonUtcTime(event.time) + " action=" + tavumonActionText(event.action) +
         " seq=" + std::to_string(event.seq) + " link=" + std::to_string(event.link) +
         " tlor=" + std::to_string(event.tlor) + " path=" + tavumonEscapeText(event.path) +
         " type=" + tavumonEscapeText(event.type) + " serial=" + std::to_string(event.serial_num);
}

std::string tavumonFormatJson(const tavuclient_event& event) {
  return "{\"serial\":" + std::to_string(event.serial_num) +
         ",\"time\":" + std::to_string(event.time) +
         ",\"action\":" + tavumonJsonString(tavumonActionText(event.action).c_str()) +
         ",\"action_code\":" + std::to_string(event.action) +
         ",\"seq\":" + std::to_string(event.seq) + ",\"link\":" + std::to_string(event.link) +
         ",\"tlor\":" + std::to_string(event.tlor) + ",\"path\":" + tavumonJsonString(event.path) +
         ",\"type\":" + tavumonJsonString(event.type) + "}";
}
