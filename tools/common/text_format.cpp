#include "text_format.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

std::string tavuEscapeText(const std::string& text, tavuEscapeStyle style) {
  // In each style, the bytes written as C escapes, and their letters.
  static const std::string special[] = {"\\\n\t\r", "", {"\\\0", 2}, "\\\""};
  static const char* const letters[] = {"\\ntr", "", "\\0", "\\\""};
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const std::size_t letter = special[style].find(c);
    if (letter != std::string::npos) {
      out += {'\\', letters[style][letter]};
    } else if (byte < 0x20 || byte >= 0x7f || c == '\\' ||
               (style == TAVU_ESCAPE_WORD && c == ' ')) {
      out += tavuFormat(style == TAVU_ESCAPE_JSON ? "\\u%04x" : "\\x%02x", byte);
    } else {
      out += c;
    }
  }
  return out;
}

std::string tavuJsonString(const std::string& text) {
  return "\"" + tavuEscapeText(text, TAVU_ESCAPE_JSON) + "\"";
}

std::string tavuFormat(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::string tavuUtcTime(int64_t seconds, long microseconds) {
  const auto when = static_cast<time_t>(seconds);
  tm parts{};
  char text[64];
  if (when != seconds || gmtime_r(&when, &parts) == nullptr) return "@" + std::to_string(seconds);
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  return std::string(text, length) +
         (microseconds >= 0 ? tavuFormat(".%06ldZ", microseconds) : "Z");
}
