#include "uevent_input.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iostream>

namespace {

// Keys as the kernel writes them: letters, digits and '_'.
bool tavuIsKeyValue(const std::string& word) {
  static const char keyBytes[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_";
  const size_t equals = word.find('=');
  return equals != 0 && equals != std::string::npos && word.find_first_not_of(keyBytes) == equals;
}

// The value of the last word that begins with `key` ("ACTION="), or nullptr.
const char* tavuLastValue(const std::vector<std::string>& words, const std::string& key) {
  for (auto word = words.rbegin(); word != words.rend(); ++word) {
    if (word->compare(0, key.size(), key) == 0) return word->c_str() + key.size();
  }
  return nullptr;
}

// Ends the event in `words`, begun at line `first`, if there is one.
bool tavuEndEvent(const std::string& path, int first, std::vector<std::string>* words,
                  std::vector<std::string>* datagrams, std::string* error) {
  if (words->empty()) return true;
  datagrams->emplace_back();
  if (!tavuEventDatagram(*words, &datagrams->back(), error)) {
    *error = path + ":" + std::to_string(first) + ": " + *error;
    return false;
  }
  words->clear();
  return true;
}

}  // namespace

bool tavuEventDatagram(const std::vector<std::string>& words, std::string* datagram,
                       std::string* error) {
  for (const std::string& word : words) {
    if (tavuIsKeyValue(word)) continue;
    *error = "'" + word + "' is no KEY=VALUE (a key is letters, digits and '_')";
    return false;
  }
  const char* action = tavuLastValue(words, "ACTION=");
  const char* devpath = tavuLastValue(words, "DEVPATH=");
  if (action == nullptr || devpath == nullptr) {
    *error = "an event needs ACTION= and DEVPATH=";
    return false;
  }
  *datagram = std::string(action) + "@" + devpath + '\0';
  for (const std::string& word : words) *datagram += word + '\0';
  return true;
}

bool tavuReadEventFile(const std::string& path, std::vector<std::string>* datagrams,
                       std::string* error) {
  std::ifstream file;
  if (path != "-") file.open(path, std::ios::binary);
  std::istream& in = path == "-" ? std::cin : file;
  if (!in) {
    *error = "cannot read '" + path + "'";
    return false;
  }
  std::vector<std::string> words;
  int first = 0;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) {
      if (!tavuEndEvent(path, first, &words, datagrams, error)) return false;
    } else if (line[start] != '#') {
      if (words.empty()) first = number;
      words.push_back(line);
    }
  }
  if (!tavuEndEvent(path, first, &words, datagrams, error)) return false;
  if (datagrams->empty()) *error = path + ": no event in it";
  return !datagrams->empty();
}

bool tavuParseHex(const std::string& text, std::string* bytes) {
  std::string digits;
  for (const char c : text) {
    if (std::isspace(static_cast<unsigned char>(c)) == 0 && c != ':') digits.push_back(c);
  }
  if (digits.size() % 2 != 0 ||
      digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    return false;
  }
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes->push_back(static_cast<char>(std::strtol(digits.substr(i, 2).c_str(), nullptr, 16)));
  }
  return true;
}

std::string tavuCountedDatagram(const std::string& datagram, uint64_t counter) {
  const std::string number = std::to_string(counter);
  std::string counted = datagram;
  for (size_t at = 0; (at = counted.find("{n}", at)) != std::string::npos; at += number.size()) {
    counted.replace(at, 3, number);
  }
  return counted;
}
