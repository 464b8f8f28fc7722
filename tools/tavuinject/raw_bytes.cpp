#include "tools/tavuinject/raw_bytes.h"

#include <cstdio>

namespace {

int tavuHexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool tavuParseHexBytes(const std::string& text, std::string* bytes, std::string* error) {
  bytes->clear();
  int high = -1;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == ':' || c == '\n') {
      if (high >= 0) {
        *error = "lone hex digit before position " + std::to_string(i);
        return false;
      }
      continue;
    }
    const int digit = tavuHexDigit(c);
    if (digit < 0) {
      *error = std::string("'") + c + "' at position " + std::to_string(i) + " is not a hex digit";
      return false;
    }
    if (high < 0) {
      high = digit;
    } else {
      bytes->push_back(static_cast<char>(high * 16 + digit));
      high = -1;
    }
  }
  if (high >= 0) {
    *error = "odd number of hex digits";
    return false;
  }
  return true;
}

std::string tavuShowBytes(const std::string& bytes) {
  std::string shown;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == 0) {
      shown += "\\0";
    } else if (c == '\\') {
      shown += "\\\\";
    } else if (byte >= 0x20 && byte < 0x7f) {
      shown.push_back(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      shown += hex;
    }
  }
  return shown;
}
