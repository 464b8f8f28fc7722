// How the tools write what they read: texts escaped onto one line, JSON
// string literals, times in UTC and printf's formats.
#pragma once

#include <cstdint>
#include <string>

// Printable ASCII on one line: the backslash and control characters as C
// escapes (\\, \n, \t, \r, \xNN), bytes above 0x7e as \xNN. As a `word`,
// every byte outside 0x21..0x7e and the backslash is \xNN, blanks included,
// so that space-separated fields stay apart.
std::string tavuEscapeText(const std::string& text, bool word = false);

// A JSON string literal, quotes included; control characters and bytes
// above 0x7e as \u00NN, so the output is valid whatever the bytes were.
std::string tavuJsonString(const std::string& text);

// printf into a string, for short texts: at most 255 bytes of it are kept.
std::string tavuFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "2026-01-31T12:00:00Z", with `microseconds` >= 0 "2026-01-31T12:00:00.000123Z";
// "@SECONDS" for a time beyond the calendar.
std::string tavuUtcTime(int64_t seconds, long microseconds = -1);
