// Raw datagram bytes for malformed cases, written as hexadecimal.
#pragma once

#include <string>

// "61 64 64 40 00", "616464" or "61:64:64": pairs of hex digits, blanks and
// ':' between them ignored. Returns false with `error` set otherwise.
bool tavuParseHexBytes(const std::string& text, std::string* bytes, std::string* error);

// The bytes as one line of text: printable ASCII as is, NUL as "\0", a
// backslash as "\\", anything else as "\xHH".
std::string tavuShowBytes(const std::string& bytes);
