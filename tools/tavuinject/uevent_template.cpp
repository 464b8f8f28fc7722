#include "tools/tavuinject/uevent_template.h"

#include <cctype>

namespace {

constexpr char TAVU_COUNTER_MARK[] = "{n}";

// The value of the last occurrence of `key`, or null.
const std::string* tavuFindKey(const tavuUeventTemplate& event, const char* key) {
  const std::string* found = nullptr;
  for (const auto& [name, value] : event.keys) {
    if (name == key) found = &value;
  }
  return found;
}

}  // namespace

bool tavuIsUeventKey(const std::string& key) {
  if (key.empty()) return false;
  for (const char c : key) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '_') return false;
  }
  return true;
}

bool tavuSplitKeyValue(const std::string& word, std::pair<std::string, std::string>* out,
                       std::string* error) {
  const size_t equals = word.find('=');
  if (equals == std::string::npos) {
    *error = "expected KEY=VALUE, got '" + word + "'";
    return false;
  }
  const std::string key = word.substr(0, equals);
  if (!tavuIsUeventKey(key)) {
    *error = "'" + key + "' is not a key (letters, digits and '_' only)";
    return false;
  }
  *out = {key, word.substr(equals + 1)};
  return true;
}

bool tavuCheckTemplate(const tavuUeventTemplate& event, std::string* error) {
  if (event.headerMode == tavuUeventTemplate::HEADER_NONE && event.keys.empty()) {
    *error = "event has neither a header nor keys: nothing to send";
    return false;
  }
  if (event.headerMode == tavuUeventTemplate::HEADER_FROM_KEYS &&
      (tavuFindKey(event, "ACTION") == nullptr || tavuFindKey(event, "DEVPATH") == nullptr)) {
    *error = "event has no ACTION= and DEVPATH= to make its header from; give the header or none";
    return false;
  }
  return true;
}

std::string tavuSubstituteCounter(const std::string& text, uint64_t counter) {
  const std::string number = std::to_string(counter);
  std::string out;
  size_t from = 0;
  for (size_t at; (at = text.find(TAVU_COUNTER_MARK, from)) != std::string::npos;
       from = at + sizeof TAVU_COUNTER_MARK - 1) {
    out.append(text, from, at - from);
    out += number;
  }
  out.append(text, from, std::string::npos);
  return out;
}

std::string tavuBuildDatagram(const tavuUeventTemplate& event, uint64_t counter, bool finalNul) {
  std::string datagram;
  switch (event.headerMode) {
    case tavuUeventTemplate::HEADER_GIVEN:
      datagram = tavuSubstituteCounter(event.header, counter);
      datagram.push_back('\0');
      break;
    case tavuUeventTemplate::HEADER_FROM_KEYS:
      datagram = tavuSubstituteCounter(*tavuFindKey(event, "ACTION"), counter) + "@" +
                 tavuSubstituteCounter(*tavuFindKey(event, "DEVPATH"), counter);
      datagram.push_back('\0');
      break;
    case tavuUeventTemplate::HEADER_NONE:
      break;
  }
  for (const auto& [key, value] : event.keys) {
    datagram += key;
    datagram.push_back('=');
    datagram += tavuSubstituteCounter(value, counter);
    datagram.push_back('\0');
  }
  if (!finalNul && !datagram.empty()) datagram.pop_back();
  return datagram;
}
