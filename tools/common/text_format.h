// How the tools write what they read: texts escaped onto one line, JSON
// string literals, times in UTC and printf's formats.
#pragma once

#include <cstdint>
#include <string>

// How tavuEscapeText writes the backslash and the bytes outside printable
// ASCII (0x20..0x7e), on one line.
enum tavuEscapeStyle {
  TAVU_ESCAPE_TEXT,      // \\, \n, \t and \r as C escapes, any other as \xNN
  TAVU_ESCAPE_WORD,      // every one as \xNN, the blank too: space-separated fields stay apart
  TAVU_ESCAPE_DATAGRAM,  // \\ and NUL as \0, any other as \xNN
  TAVU_ESCAPE_JSON,      // \\ and \" as such, any other as \u00NN: valid whatever the bytes
};
std::string tavuEscapeText(const std::string& text, tavuEscapeStyle style = TAVU_ESCAPE_TEXT);

// A JSON string literal, quotes included.
std::string tavuJsonString(const std::string& text);

// printf into a string, for short texts: at most 255 bytes of it are kept.
std::string tavuFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "2026-01-31T12:00:00Z", with `microseconds` >= 0 "2026-01-31T12:00:00.000123Z";
// "@SECONDS" for a time beyond the calendar.
std::string tavuUtcTime(int64_t seconds, long microseconds = -1);
