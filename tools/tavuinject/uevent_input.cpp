#include "uevent_input.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "text_format.h"
#include "uevent_send.h"

namespace {

// Keys as the kernel writes them: letters, digits and '_'.
bool tavuIsKeyValue(const std::string& word, std::string* error) {
  static const char keyBytes[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_";
  const size_t equals = word.find('=');
  if (equals != 0 && equals != std::string::npos && word.find_first_not_of(keyBytes) == equals) {
    return true;
  }
  *error = "'" + tavuEscapeText(word) + "' is no KEY=VALUE (a key is letters, digits and '_')";
  return false;
}

// Ends the event in `words`, if there is one.
bool tavuEndEvent(std::vector<std::string>* words, std::vector<std::string>* datagrams,
                  std::string* error) {
  if (words->empty()) return true;
  datagrams->emplace_back();
  const bool made = tavuEventDatagram(*words, &datagrams->back(), error);
  words->clear();
  return made;
}

// The whole file, or false with errno set.
bool tavuReadWhole(const std::string& path, std::string* text) {
  const int fd = path == "-" ? dup(STDIN_FILENO) : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  char chunk[65536];
  ssize_t n = fd < 0 ? -1 : 0;
  while (fd >= 0 && ((n = read(fd, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR))) {
    if (n > 0) text->append(chunk, static_cast<std::size_t>(n));
  }
  const int failure = errno;
  if (fd >= 0) close(fd);
  errno = failure;
  return n == 0;
}

}  // namespace

bool tavuEventDatagram(const std::vector<std::string>& words, std::string* datagram,
                       std::string* error) {
  for (const std::string& word : words) {
    if (!tavuIsKeyValue(word, error)) return false;
  }
  const auto has = [&](const char* key) {
    return std::any_of(words.begin(), words.end(),
                       [&](const std::string& word) { return word.rfind(key, 0) == 0; });
  };
  if (!has("ACTION=") || !has("DEVPATH=")) {
    *error = "an event needs ACTION= and DEVPATH=";
    return false;
  }
  *datagram = tavuUeventDatagram(words);
  return true;
}

bool tavuReadEventFile(const std::string& path, std::vector<std::string>* datagrams,
                       std::string* error) {
  std::string text;
  if (!tavuReadWhole(path, &text)) {
    *error = "cannot read '" + tavuEscapeText(path) + "': " + std::strerror(errno);
    return false;
  }
  std::istringstream in(text);
  std::vector<std::string> words;
  int first = 0;  // where the event begins: a missing key is the whole event's fault
  int bad = 0;    // the line at fault
  std::string line;
  for (int number = 1; bad == 0 && std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) {
      if (!tavuEndEvent(&words, datagrams, error)) bad = first;
    } else if (line[start] != '#') {
      if (words.empty()) first = number;
      words.push_back(line);
      if (!tavuIsKeyValue(line, error)) bad = number;
    }
  }
  if (bad == 0 && !tavuEndEvent(&words, datagrams, error)) bad = first;
  if (bad != 0) {
    *error = tavuEscapeText(path) + ":" + std::to_string(bad) + ": " + *error;
  } else if (datagrams->empty()) {
    *error = tavuEscapeText(path) + ": no event in it";
  }
  return bad == 0 && !datagrams->empty();
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
