#include "tests/tools/json_check.h"

#include <cctype>
#include <cstring>

namespace {

struct JsonReader {
  const std::string& text;
  std::size_t at = 0;

  void skipBlanks() {
    while (at < text.size() && std::strchr(" \t\r\n", text[at]) != nullptr) ++at;
  }
  bool take(char c) {
    skipBlanks();
    if (at < text.size() && text[at] == c) {
      ++at;
      return true;
    }
    return false;
  }
  bool literal(const char* word) {
    const std::size_t length = std::strlen(word);
    if (text.compare(at, length, word) != 0) return false;
    at += length;
    return true;
  }
  bool string(std::string* out) {
    if (!take('"')) return false;
    for (; at < text.size(); ++at) {
      const auto c = static_cast<unsigned char>(text[at]);
      if (c == '"') {
        ++at;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        if (++at >= text.size()) return false;
        if (text[at] == 'u') {
          for (int i = 0; i < 4; ++i) {
            if (++at >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[at])))
              return false;
          }
        } else if (std::strchr("\"\\/bfnrt", text[at]) == nullptr) {
          return false;
        }
      } else if (out != nullptr) {
        *out += static_cast<char>(c);
      }
    }
    return false;
  }
  bool digits() {
    const std::size_t start = at;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
    return at > start;
  }
  bool number() {
    if (at < text.size() && text[at] == '-') ++at;
    if (at < text.size() && text[at] == '0') {
      ++at;
    } else if (!digits()) {
      return false;
    }
    if (at < text.size() && text[at] == '.') {
      ++at;
      if (!digits()) return false;
    }
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
      ++at;
      if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
      if (!digits()) return false;
    }
    return true;
  }
  bool array() {
    if (take(']')) return true;
    do {
      char kind;
      if (!value(&kind)) return false;
    } while (take(','));
    return take(']');
  }
  bool object(std::map<std::string, char>* members) {
    if (take('}')) return true;
    do {
      std::string key;
      char kind;
      skipBlanks();
      if (!string(&key) || !take(':') || !value(&kind)) return false;
      if (members != nullptr && !members->emplace(key, kind).second) return false;  // duplicate
    } while (take(','));
    return take('}');
  }
  bool value(char* kind) {
    skipBlanks();
    if (at >= text.size()) return false;
    switch (text[at]) {
      case '"':
        *kind = 's';
        return string(nullptr);
      case '{':
        *kind = 'o';
        ++at;
        return object(nullptr);
      case '[':
        *kind = 'a';
        ++at;
        return array();
      case 't':
        *kind = 'b';
        return literal("true");
      case 'f':
        *kind = 'b';
        return literal("false");
      case 'n':
        *kind = 'z';
        return literal("null");
      default:
        *kind = 'n';
        return number();
    }
  }
};

}  // namespace

bool tavuParseJsonObject(const std::string& text, std::map<std::string, char>* members) {
  JsonReader reader{text};
  if (!reader.take('{') || !reader.object(members)) return false;
  reader.skipBlanks();
  return reader.at == text.size();
}
